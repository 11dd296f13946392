// JsonError: where and why the reader stopped. The message is one of the
// reader's fixed texts; line and column are computed only when an error is
// reported, never tracked while reading.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quorl::json {

struct JsonError {
  std::string_view message;  // always one of the static texts in json_error.cpp
  std::size_t line = 1;      // 1-based
  std::size_t column = 0;    // bytes consumed on the line; 0 = none yet
  std::size_t position = 0;  // bytes consumed in the whole text

  // "<message> at line <line> column <column>"
  std::string render() const;

  // Builds the error for a position p (bytes consumed) in text: the line is
  // 1 + the line feeds before p, the column p minus the index just after the
  // last of them.
  static JsonError at(std::string_view message, std::string_view text, std::size_t p);
};

// Line (1-based) and column (1-based, in bytes) of the byte at offset in
// text, for faults found by other stages than the reader.
struct TextPosition {
  std::size_t line = 1;
  std::size_t column = 1;
};
TextPosition position_of(std::string_view text, std::size_t offset);

// The reader's eighteen texts, kept in one place so that tests and callers
// compare against the same bytes.
namespace msg {
inline constexpr std::string_view kEofValue = "EOF while parsing a value";
inline constexpr std::string_view kEofList = "EOF while parsing a list";
inline constexpr std::string_view kEofObject = "EOF while parsing an object";
inline constexpr std::string_view kEofString = "EOF while parsing a string";
inline constexpr std::string_view kExpectedColon = "expected `:`";
inline constexpr std::string_view kExpectedCommaOrBracket = "expected `,` or `]`";
inline constexpr std::string_view kExpectedCommaOrBrace = "expected `,` or `}`";
inline constexpr std::string_view kExpectedIdent = "expected ident";
inline constexpr std::string_view kExpectedValue = "expected value";
inline constexpr std::string_view kInvalidEscape = "invalid escape";
inline constexpr std::string_view kInvalidNumber = "invalid number";
inline constexpr std::string_view kNumberOutOfRange = "number out of range";
inline constexpr std::string_view kControlCharacter =
    "control character (\\u0000-\\u001F) found while parsing a string";
inline constexpr std::string_view kKeyMustBeString = "key must be a string";
inline constexpr std::string_view kLoneLeadingSurrogate = "lone leading surrogate in hex escape";
inline constexpr std::string_view kTrailingComma = "trailing comma";
inline constexpr std::string_view kTrailingCharacters = "trailing characters";
inline constexpr std::string_view kUnexpectedEndOfHexEscape = "unexpected end of hex escape";
}  // namespace msg

}  // namespace quorl::json
