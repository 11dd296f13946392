// JsonError: where and why the reader stopped. The message is one of the
// reader's fixed texts; line and column are computed only when an error is
// reported, never tracked while reading.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/messages.h"

namespace quorl::json {

namespace msg = quorl::msg;

struct JsonError {
  Message message;           // always one of the reader's fixed messages
  std::size_t line = 1;      // 1-based
  std::size_t column = 0;    // bytes consumed on the line; 0 = none yet
  std::size_t position = 0;  // bytes consumed in the whole text

  // "<message> at line <line> column <column>"
  std::string render() const;

  // Builds the error for a position p (bytes consumed) in text: the line is
  // 1 + the line feeds before p, the column p minus the index just after the
  // last of them.
  static JsonError at(Message message, std::string_view text, std::size_t p);
};

// Line (1-based) and column (1-based, in bytes) of the byte at offset in
// text, for faults found by other stages than the reader.
struct TextPosition {
  std::size_t line = 1;
  std::size_t column = 1;
};
TextPosition position_of(std::string_view text, std::size_t offset);

}  // namespace quorl::json
