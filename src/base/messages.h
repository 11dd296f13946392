// Every fixed message of the core, in one table, each with a code: callers
// (and the quorl package) tell refusals apart by code, never by text, and
// tests and the fuzz targets compare against the same bytes. Three messages
// carry a variable tail after their fixed text: an invalid-JSON refusal
// (the reader's message and its position), an unknown profile (its name)
// and invalid UTF-8 (the byte offset).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string_view>

namespace quorl {

enum class Fault : std::uint8_t {
  None,  // no refusal
  // The strict reader's, which reach callers after the invalid-JSON prefix.
  EofValue,
  EofList,
  EofObject,
  EofString,
  ExpectedColon,
  ExpectedCommaOrBracket,
  ExpectedCommaOrBrace,
  ExpectedIdent,
  ExpectedValue,
  InvalidEscape,
  InvalidNumber,
  NumberOutOfRange,
  ControlCharacter,
  KeyMustBeString,
  LoneLeadingSurrogate,
  TrailingComma,
  TrailingCharacters,
  UnexpectedEndOfHexEscape,
  // The gate's, the decoder's and the encoder's.
  Depth,
  DuplicateKey,
  Float,
  NaN,
  Infinity,
  LoneSurrogate,
  BareInteger,
  IntPayload,
  StrPayload,
  ObjPayload,
  ArrPayload,
  BoolPayload,
  NullPayload,
  // Fixed starts of the messages with a variable tail.
  InvalidJson,
  UnknownProfile,
  InvalidUtf8,
};

// A fixed message: its code and its text. Reads as its text wherever a
// string_view is expected.
struct Message {
  Fault code = Fault::None;
  std::string_view text;

  constexpr operator std::string_view() const noexcept { return text; }  // NOLINT: on purpose
  friend constexpr bool operator==(const Message& m, std::string_view s) noexcept {
    return m.text == s;
  }
  friend std::ostream& operator<<(std::ostream& os, const Message& m) { return os << m.text; }
};

// The table, in the order of the codes.
inline constexpr std::array<Message, 35> kMessages = {{
    {Fault::None, ""},
    {Fault::EofValue, "EOF while parsing a value"},
    {Fault::EofList, "EOF while parsing a list"},
    {Fault::EofObject, "EOF while parsing an object"},
    {Fault::EofString, "EOF while parsing a string"},
    {Fault::ExpectedColon, "expected `:`"},
    {Fault::ExpectedCommaOrBracket, "expected `,` or `]`"},
    {Fault::ExpectedCommaOrBrace, "expected `,` or `}`"},
    {Fault::ExpectedIdent, "expected ident"},
    {Fault::ExpectedValue, "expected value"},
    {Fault::InvalidEscape, "invalid escape"},
    {Fault::InvalidNumber, "invalid number"},
    {Fault::NumberOutOfRange, "number out of range"},
    {Fault::ControlCharacter, "control character (\\u0000-\\u001F) found while parsing a string"},
    {Fault::KeyMustBeString, "key must be a string"},
    {Fault::LoneLeadingSurrogate, "lone leading surrogate in hex escape"},
    {Fault::TrailingComma, "trailing comma"},
    {Fault::TrailingCharacters, "trailing characters"},
    {Fault::UnexpectedEndOfHexEscape, "unexpected end of hex escape"},
    {Fault::Depth, "nesting depth exceeds the maximum of 128"},
    {Fault::DuplicateKey, "duplicate object key in canonical content"},
    {Fault::Float, "floats are forbidden in canonical content; pre-represent as int or string"},
    {Fault::NaN, "NaN is forbidden in canonical content"},
    {Fault::Infinity, "Infinity is forbidden in canonical content"},
    {Fault::LoneSurrogate, "unpaired surrogate U+D800 is not allowed in canonical content"},
    {Fault::BareInteger, "bare JSON integer beyond +/-(2^53 - 1): use a $int tag"},
    {Fault::IntPayload, "invalid $int payload: expected optional '-' then ASCII digits"},
    {Fault::StrPayload, "invalid $str payload: expected a JSON string"},
    {Fault::ObjPayload, "invalid $obj payload: expected a JSON object"},
    {Fault::ArrPayload, "invalid $arr payload: expected a JSON array"},
    {Fault::BoolPayload, "invalid $bool payload: expected a JSON boolean"},
    {Fault::NullPayload, "invalid $null payload: expected true"},
    {Fault::InvalidJson, "invalid JSON: "},
    {Fault::UnknownProfile, "unknown digest profile: "},
    {Fault::InvalidUtf8, "invalid UTF-8 at byte "},
}};

constexpr const Message& message_of(Fault code) noexcept {
  return kMessages[static_cast<std::size_t>(code)];
}

namespace messages_detail {
constexpr bool table_in_code_order() {
  for (std::size_t k = 0; k < kMessages.size(); ++k) {
    if (static_cast<std::size_t>(kMessages[k].code) != k) return false;
  }
  return static_cast<std::size_t>(Fault::InvalidUtf8) + 1 == kMessages.size();
}
static_assert(table_in_code_order(), "kMessages must list every code once, in order");
}  // namespace messages_detail

// The names the code uses.
namespace msg {
inline constexpr Message kEofValue = message_of(Fault::EofValue);
inline constexpr Message kEofList = message_of(Fault::EofList);
inline constexpr Message kEofObject = message_of(Fault::EofObject);
inline constexpr Message kEofString = message_of(Fault::EofString);
inline constexpr Message kExpectedColon = message_of(Fault::ExpectedColon);
inline constexpr Message kExpectedCommaOrBracket = message_of(Fault::ExpectedCommaOrBracket);
inline constexpr Message kExpectedCommaOrBrace = message_of(Fault::ExpectedCommaOrBrace);
inline constexpr Message kExpectedIdent = message_of(Fault::ExpectedIdent);
inline constexpr Message kExpectedValue = message_of(Fault::ExpectedValue);
inline constexpr Message kInvalidEscape = message_of(Fault::InvalidEscape);
inline constexpr Message kInvalidNumber = message_of(Fault::InvalidNumber);
inline constexpr Message kNumberOutOfRange = message_of(Fault::NumberOutOfRange);
inline constexpr Message kControlCharacter = message_of(Fault::ControlCharacter);
inline constexpr Message kKeyMustBeString = message_of(Fault::KeyMustBeString);
inline constexpr Message kLoneLeadingSurrogate = message_of(Fault::LoneLeadingSurrogate);
inline constexpr Message kTrailingComma = message_of(Fault::TrailingComma);
inline constexpr Message kTrailingCharacters = message_of(Fault::TrailingCharacters);
inline constexpr Message kUnexpectedEndOfHexEscape = message_of(Fault::UnexpectedEndOfHexEscape);
inline constexpr Message kDepth = message_of(Fault::Depth);
inline constexpr Message kDuplicateKey = message_of(Fault::DuplicateKey);
inline constexpr Message kFloat = message_of(Fault::Float);
inline constexpr Message kNaN = message_of(Fault::NaN);
inline constexpr Message kInfinity = message_of(Fault::Infinity);
inline constexpr Message kLoneSurrogate = message_of(Fault::LoneSurrogate);
inline constexpr Message kBareInteger = message_of(Fault::BareInteger);
inline constexpr Message kIntPayload = message_of(Fault::IntPayload);
inline constexpr Message kStrPayload = message_of(Fault::StrPayload);
inline constexpr Message kObjPayload = message_of(Fault::ObjPayload);
inline constexpr Message kArrPayload = message_of(Fault::ArrPayload);
inline constexpr Message kBoolPayload = message_of(Fault::BoolPayload);
inline constexpr Message kNullPayload = message_of(Fault::NullPayload);
inline constexpr Message kInvalidJsonPrefix = message_of(Fault::InvalidJson);
inline constexpr Message kUnknownProfilePrefix = message_of(Fault::UnknownProfile);
inline constexpr Message kInvalidUtf8Prefix = message_of(Fault::InvalidUtf8);
}  // namespace msg

}  // namespace quorl
