#include "core/exact/input_gate.h"

#include "core/exact/decoder.h"
#include "core/exact/float_strings.h"
#include "core/rules/number_token.h"
#include "json/lex/byte_scan.h"
#include "json/lex/utf8_validate.h"
#include "json/reader/json_reader.h"

namespace quorl {

namespace {

struct PreScan {
  std::size_t max_depth = 0;
  std::size_t too_deep_at = kNoOffset;      // the first bracket beyond the bound
  std::optional<Message> number_fault;      // first offending token's message
  std::size_t number_fault_at = kNoOffset;  // ... and where the token starts
};

// Both raw-text rules in one forward pass. The two rules skip string
// literals identically (a backslash inside one hides the next byte; a
// literal still open at the end ends the scan), and a number token never
// holds a quote or a bracket, so fusing them changes no outcome: the caller
// still tests depth over the whole text before any number fault.
PreScan prescan(std::string_view text, FloatPolicy floats = FloatPolicy::Refuse) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  PreScan result;
  std::size_t depth = 0;
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = p[i];
    if (c == '"') {
      i = skip_raw_string(p, i, n);  // one still open at the end ends the scan
    } else if (c == '[' || c == '{') {
      ++depth;
      if (depth > result.max_depth) {
        result.max_depth = depth;
        if (depth == kMaxRawBracketDepth + 1) result.too_deep_at = i;
      }
      ++i;
    } else if (c == ']' || c == '}') {
      if (depth > 0) --depth;
      ++i;
    } else if (c == '-' || is_digit(c)) {
      const std::size_t j = number_token_end(p, i, n);
      if (!result.number_fault) {
        result.number_fault = floats == FloatPolicy::Str
                                  ? judge_number_token_as_string(p + i, j - i)
                                  : judge_number_token(p + i, j - i);
        if (result.number_fault) result.number_fault_at = i;
      }
      i = j;
    } else if (is_json_whitespace(c)) {
      i = skip_whitespace(p, i + 1, n);
    } else {
      ++i;
    }
  }
  return result;
}

bool ends_too_soon(Fault code) noexcept {
  return code == Fault::EofValue || code == Fault::EofList || code == Fault::EofObject ||
         code == Fault::EofString;
}

// A reader fault's message keeps the reader's own line and column. It is
// located at the last byte the reader consumed (the byte at fault), and a
// text that ends too soon at its end: offset its size, line and column
// those of the place just past its last byte, so that the three name the
// same place (as Python's json module locates such faults).
QuorlError invalid_json(const json::JsonError& e, std::string_view text) {
  std::string message(msg::kInvalidJsonPrefix.text);
  message += e.render();
  if (ends_too_soon(e.message.code)) {
    QuorlError error{std::move(message), text.size(), 0, 0, e.message.code};
    locate(error, text);
    return error;
  }
  return QuorlError{std::move(message), e.position > 0 ? e.position - 1 : 0, e.line, e.column,
                    e.message.code};
}

// A fault of a later stage, located by its offset in the text.
QuorlError located(Message message, std::size_t offset, std::string_view text) {
  QuorlError error{std::string(message.text), offset, 0, 0, message.code};
  locate(error, text);
  return error;
}

}  // namespace

std::size_t raw_bracket_depth(std::string_view text) noexcept {
  return prescan(text).max_depth;
}

std::optional<Message> check_number_tokens(std::string_view text) noexcept {
  return prescan(text).number_fault;
}

Result<QuorlValue> decode_input_json(std::string_view text, FloatPolicy floats) {
  const PreScan scan = prescan(text, floats);
  if (scan.max_depth > kMaxRawBracketDepth)
    return fail(located(msg::kDepth, scan.too_deep_at, text));
  if (scan.number_fault) return fail(located(*scan.number_fault, scan.number_fault_at, text));

  json::JsonTree tree;
  {
    // The reader and its scratch storage live only until the tree is read.
    const std::string masked = floats == FloatPolicy::Str ? mask_float_tokens(text) : std::string();
    json::JsonReader reader(floats == FloatPolicy::Str ? std::string_view(masked) : text);
    auto read = reader.read_value();
    if (!read.ok()) return fail(invalid_json(read.error(), text));
    auto end = reader.expect_end();
    if (!end.ok()) return fail(invalid_json(end.error(), text));
    tree = std::move(read).value();
  }
  if (floats == FloatPolicy::Str) float_tokens_to_strings(tree, text);
  Result<QuorlValue> value = decode(std::move(tree), 0, false);
  if (!value.ok()) locate(value.error(), text);
  return value;
}

Result<Unit> check_utf8(std::string_view text) {
  const std::size_t bad = json::find_invalid_utf8(text);
  if (bad == json::kValidUtf8) [[likely]]
    return Unit{};
  QuorlError error = located(msg::kInvalidUtf8Prefix, bad, text);
  error.message += std::to_string(bad);
  return fail(std::move(error));
}

void locate(QuorlError& error, std::string_view text) {
  if (error.offset == kNoOffset || error.line != 0) return;
  const json::TextPosition at = json::position_of(text, error.offset);
  error.line = at.line;
  error.column = at.column;
}

}  // namespace quorl
