// Helpers shared by the fuzz targets.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace fuzz_support {

// A property the target checks does not hold: say which, and stop the run
// so that libFuzzer keeps the input.
[[noreturn]] inline void broken(const char* property, std::string_view detail = {}) {
  std::fprintf(stderr, "\n*** property broken: %s\n", property);
  if (!detail.empty())
    std::fprintf(stderr, "    %.*s\n", static_cast<int>(detail.size()), detail.data());
  std::abort();
}

// Whether s is well-formed UTF-8 (no overlongs, no surrogates, at most
// U+10FFFF): the module only ever hands the core such text.
inline bool valid_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned c = p[i];
    std::size_t len;
    std::uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (std::size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

// The reader's eighteen texts, typed out here rather than taken from the
// library, so that a changed message shows as a broken property.
namespace reader_msg {
inline constexpr std::string_view kEofValue = "EOF while parsing a value";
inline constexpr std::string_view kEofList = "EOF while parsing a list";
inline constexpr std::string_view kEofObject = "EOF while parsing an object";
inline constexpr std::string_view kEofString = "EOF while parsing a string";
inline constexpr std::string_view kExpectedColon = "expected `:`";
inline constexpr std::string_view kExpectedCommaBracket = "expected `,` or `]`";
inline constexpr std::string_view kExpectedCommaBrace = "expected `,` or `}`";
inline constexpr std::string_view kExpectedIdent = "expected ident";
inline constexpr std::string_view kExpectedValue = "expected value";
inline constexpr std::string_view kInvalidEscape = "invalid escape";
inline constexpr std::string_view kInvalidNumber = "invalid number";
inline constexpr std::string_view kOutOfRange = "number out of range";
inline constexpr std::string_view kControl =
    "control character (\\u0000-\\u001F) found while parsing a string";
inline constexpr std::string_view kKeyMustBeString = "key must be a string";
inline constexpr std::string_view kLoneSurrogate = "lone leading surrogate in hex escape";
inline constexpr std::string_view kTrailingComma = "trailing comma";
inline constexpr std::string_view kTrailingChars = "trailing characters";
inline constexpr std::string_view kUnexpectedEndHex = "unexpected end of hex escape";

inline constexpr std::string_view kAll[] = {kEofValue,
                                            kEofList,
                                            kEofObject,
                                            kEofString,
                                            kExpectedColon,
                                            kExpectedCommaBracket,
                                            kExpectedCommaBrace,
                                            kExpectedIdent,
                                            kExpectedValue,
                                            kInvalidEscape,
                                            kInvalidNumber,
                                            kOutOfRange,
                                            kControl,
                                            kKeyMustBeString,
                                            kLoneSurrogate,
                                            kTrailingComma,
                                            kTrailingChars,
                                            kUnexpectedEndHex};
}  // namespace reader_msg

}  // namespace fuzz_support
