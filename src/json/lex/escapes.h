// The pieces of JSON string escapes that every reader of the text needs: the
// two-character escapes, hex digits, and UTF-8 for the code point of a \u
// escape.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quorl::json {

namespace escape_detail {
constexpr std::array<std::int8_t, 256> make_hex_values() {
  std::array<std::int8_t, 256> t{};
  for (int c = 0; c < 256; ++c) {
    t[c] = -1;
    if (c >= '0' && c <= '9') t[c] = static_cast<std::int8_t>(c - '0');
    if (c >= 'a' && c <= 'f') t[c] = static_cast<std::int8_t>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') t[c] = static_cast<std::int8_t>(c - 'A' + 10);
  }
  return t;
}
inline constexpr std::array<std::int8_t, 256> kHexValues = make_hex_values();
}  // namespace escape_detail

// Value of c as a hex digit, or -1.
constexpr int hex_digit_value(unsigned char c) noexcept {
  return escape_detail::kHexValues[c];
}

// The character a two-character escape \e stands for, or -1 when e is not
// one of them ('u' included: it starts the six-character form).
constexpr int short_escape_value(unsigned char e) noexcept {
  switch (e) {
    case '"':
      return '"';
    case '\\':
      return '\\';
    case '/':
      return '/';
    case 'b':
      return '\b';
    case 'f':
      return '\f';
    case 'n':
      return '\n';
    case 'r':
      return '\r';
    case 't':
      return '\t';
    default:
      return -1;
  }
}

// Writes the scalar value cp as UTF-8 at dst (room for four bytes); returns
// the byte count, 1 to 4.
inline std::size_t put_utf8(char* dst, std::uint32_t cp) noexcept {
  if (cp < 0x80) {
    dst[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    dst[0] = static_cast<char>(0xC0 | (cp >> 6));
    dst[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    dst[0] = static_cast<char>(0xE0 | (cp >> 12));
    dst[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    dst[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  dst[0] = static_cast<char>(0xF0 | (cp >> 18));
  dst[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  dst[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  dst[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

// The escape the canonical string form writes for c, which is '"', '\\' or
// below 0x20, at dst (room for six bytes): a backslash before '"' and '\\',
// U+0000..U+001F as \u00xx in lowercase hex. Returns its size, 2 or 6.
inline std::size_t put_canonical_escape(char* dst, unsigned char c) noexcept {
  constexpr char kHexDigits[] = "0123456789abcdef";
  dst[0] = '\\';
  if (c == '"' || c == '\\') {
    dst[1] = static_cast<char>(c);
    return 2;
  }
  dst[1] = 'u';
  dst[2] = '0';
  dst[3] = '0';
  dst[4] = kHexDigits[c >> 4];
  dst[5] = kHexDigits[c & 0xF];
  return 6;
}

}  // namespace quorl::json
