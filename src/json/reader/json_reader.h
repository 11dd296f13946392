// JsonReader: a strict RFC 8259 reader. Precondition: the text is valid
// UTF-8 (bytes of 0x80 and above pass through unchecked, but a bad byte can
// never make the reader read out of bounds). No nesting limit of its own:
// the input gate bounds the depth of the text before the reader runs. Open
// containers are kept on a heap stack, so the C stack it uses does not grow
// with nesting.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "json/reader/json_error.h"
#include "json/reader/json_tree.h"

namespace quorl::json {

class JsonReader {
 public:
  explicit JsonReader(std::string_view text) noexcept : text_(text) {}

  // Skips whitespace, reads exactly one value and leaves the index just after
  // it. Whatever follows is not looked at.
  Result<JsonTree, JsonError> read_value();

  // Skips whitespace; fails with "trailing characters" if a byte remains.
  Result<Unit, JsonError> expect_end();

  std::size_t index() const noexcept { return i_; }

 private:
  // The parse steps report success; on failure they have recorded the
  // message and the byte position in err_msg_/err_pos_, and the public entry
  // points turn that into a JsonError (line and column computed only then).
  bool parse_value(JsonTree& root);
  bool parse_scalar(JsonTree& out);
  bool parse_literal(std::string_view word);
  bool parse_number(JsonTree& out, bool negative);
  bool parse_string(std::string& out);

  // A container not yet closed: one of the two is set (neither: none).
  struct Open {
    JsonArray* array;
    JsonObject* object;
  };
  // What reading up to the next value of the innermost container found.
  enum class Step : unsigned char { Slot, Closed, Fault };
  Step next_item(JsonArray& out, bool first, JsonTree*& slot);
  Step next_member(JsonObject& out, bool first, JsonTree*& slot);

  // Record an error at position p; always returns false.
  bool fail_at(Message message, std::size_t p) noexcept {
    err_msg_ = message;
    err_pos_ = p;
    return false;
  }
  // The byte that would be read next counts as consumed (or the end of text).
  bool fail_next(Message message) noexcept {
    return fail_at(message, i_ < text_.size() ? i_ + 1 : i_);
  }
  Step fault_next(Message message) noexcept {
    fail_next(message);
    return Step::Fault;
  }
  JsonError error() const { return JsonError::at(err_msg_, text_, err_pos_); }

  std::string_view text_;
  std::size_t i_ = 0;
  std::vector<Open> open_;  // the containers around the innermost one
  Message err_msg_;
  std::size_t err_pos_ = 0;
};

}  // namespace quorl::json
