// The rest of a JSON string literal, from wherever its plain run stopped:
// escapes (two-character and \u, surrogate pairs), control bytes, the
// closing quote. One reading for both paths: the strict reader reports each
// fault with its message and position, the direct path only needs to know
// that there was one. Plain runs are found by the shared scanning kernels;
// bytes from 0x80 on pass through (the text is valid UTF-8 before it gets
// here).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "json/lex/byte_scan.h"
#include "json/lex/escapes.h"
#include "json/reader/json_error.h"

namespace quorl::json {

// How a literal's rest ended: closed by its quote, or the fault.
enum class StringEnd : std::uint8_t {
  Closed,
  Eof,
  ControlCharacter,
  InvalidEscape,
  LoneSurrogate,
  UnexpectedEndOfHexEscape,
};

// The reader's message for a fault.
constexpr Message message_of(StringEnd end) noexcept {
  switch (end) {
    case StringEnd::Eof:
      return msg::kEofString;
    case StringEnd::ControlCharacter:
      return msg::kControlCharacter;
    case StringEnd::InvalidEscape:
      return msg::kInvalidEscape;
    case StringEnd::LoneSurrogate:
      return msg::kLoneLeadingSurrogate;
    case StringEnd::UnexpectedEndOfHexEscape:
      return msg::kUnexpectedEndOfHexEscape;
    case StringEnd::Closed:
      break;
  }
  return {};
}

namespace lexer_detail {

// The four hex digits of a \u escape at i; on a fault, i is where the
// reader reports it.
inline StringEnd hex4(const unsigned char* p, std::size_t n, std::size_t& i,
                      std::uint32_t& value) noexcept {
  if (n - i < 4) [[unlikely]] {
    i = n;
    return StringEnd::Eof;
  }
  const int a = hex_digit_value(p[i]), b = hex_digit_value(p[i + 1]), c = hex_digit_value(p[i + 2]),
            d = hex_digit_value(p[i + 3]);
  i += 4;
  if ((a | b | c | d) < 0) [[unlikely]]
    return StringEnd::InvalidEscape;
  value = static_cast<std::uint32_t>((a << 12) | (b << 8) | (c << 4) | d);
  return StringEnd::Closed;
}

// The scalar value of the \u escape whose 'u' is just consumed: a pair of
// surrogates is one value, a lone one a fault.
inline StringEnd unicode_escape(const unsigned char* p, std::size_t n, std::size_t& i,
                                std::uint32_t& cp) noexcept {
  if (StringEnd e = hex4(p, n, i, cp); e != StringEnd::Closed) return e;
  if (cp >= 0xDC00 && cp <= 0xDFFF) [[unlikely]]
    return StringEnd::LoneSurrogate;
  if (cp < 0xD800 || cp > 0xDBFF) [[likely]]
    return StringEnd::Closed;
  // A leading surrogate must be followed at once by \u and a trailing one.
  if (i == n) return StringEnd::Eof;
  if (p[i++] != '\\') return StringEnd::UnexpectedEndOfHexEscape;
  if (i == n) return StringEnd::Eof;
  if (p[i++] != 'u') return StringEnd::UnexpectedEndOfHexEscape;
  std::uint32_t low = 0;
  if (StringEnd e = hex4(p, n, i, low); e != StringEnd::Closed) return e;
  if (low < 0xDC00 || low > 0xDFFF) return StringEnd::LoneSurrogate;
  cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
  return StringEnd::Closed;
}

}  // namespace lexer_detail

// Reads p[i, n) as the rest of a literal whose opening quote is behind i,
// appending its text to out (out.append(const char*, size_t)): decoded, or
// with Canonical in its canonical string form (the characters that form
// escapes written escaped), without the quotes. Returns Closed with i just
// past the closing quote, or the fault with i at the position the reader
// reports (bytes consumed); out then holds a partial text.
//
// Output gathers in a small buffer, so that escape-dense text does not pay
// an append per character; long plain runs are appended whole. Out of line:
// the buffer must not sit in the frames of recursive readers.
//
// find(p, i, n) gives the end of each plain run, as find_string_special
// does: a reader that has the text's string-special bytes marked already
// passes its own lookup.
struct FindStringSpecial {
  std::size_t operator()(const unsigned char* p, std::size_t i, std::size_t n) const noexcept {
    return find_string_special(p, i, n);
  }
};
template <bool Canonical, class Out, class Find = FindStringSpecial>
[[gnu::noinline]] StringEnd lex_string_rest(const unsigned char* p, std::size_t n, std::size_t& i,
                                            Out& out, Find find = {}) {
  constexpr std::size_t kBuffer = 512;
  constexpr std::size_t kLongest = 6;  // the most one character can become
  char buf[kBuffer];
  std::size_t b = 0;
  while (true) {
    if (i >= n) [[unlikely]] {
      out.append(buf, b);
      i = n;
      return StringEnd::Eof;
    }
    const unsigned char c = p[i];
    if (c == '"') {
      ++i;
      out.append(buf, b);
      return StringEnd::Closed;
    }
    if (c != '\\') {
      if (c < 0x20) [[unlikely]] {
        ++i;
        return StringEnd::ControlCharacter;
      }
      const std::size_t j = find(p, i, n);
      const std::size_t len = j - i;
      if (len <= kBuffer - b) {
        std::memcpy(buf + b, p + i, len);
        b += len;
      } else {
        out.append(buf, b);
        b = 0;
        out.append(reinterpret_cast<const char*>(p + i), len);
      }
      i = j;
      continue;
    }
    if (b > kBuffer - kLongest) {
      out.append(buf, b);
      b = 0;
    }
    ++i;  // the backslash
    if (i == n) [[unlikely]]
      return StringEnd::Eof;
    const unsigned char e = p[i++];
    std::uint32_t cp;
    if (const int decoded = short_escape_value(e); decoded >= 0) {
      cp = static_cast<std::uint32_t>(decoded);
    } else if (e == 'u') {
      if (StringEnd end = lexer_detail::unicode_escape(p, n, i, cp); end != StringEnd::Closed)
          [[unlikely]]
        return end;
    } else {
      return StringEnd::InvalidEscape;
    }
    if (Canonical && cp < 0x80 && is_string_special(static_cast<unsigned char>(cp))) {
      b += put_canonical_escape(buf + b, static_cast<unsigned char>(cp));
    } else {
      b += put_utf8(buf + b, cp);
    }
  }
}

}  // namespace quorl::json
