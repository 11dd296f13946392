// The raw-text rules for bare numbers: a token starts at '-' or a digit and
// runs over the bytes a JSON number may hold; it is accepted only as a plain
// decimal integer within the exact bound. Shared by the gate, which judges
// every token, and the direct path, which takes only accepted ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "base/messages.h"
#include "json/lex/byte_scan.h"

namespace quorl {

// The bound of integers written bare: 2^53 - 1.
inline constexpr std::int64_t kMaxExactInteger = 9007199254740991;

// Longest bare integer that can be within the exact bound; 16 digits always
// fit an int64, so the magnitude needs no overflow test.
inline constexpr std::size_t kMaxBareIntegerDigits = 16;

constexpr bool is_number_token_byte(unsigned char c) noexcept {
  return is_digit(c) || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E';
}

// Judges one number token t[0, len) by how it is written, rules in their
// fixed order: nullopt when accepted, else the refusal's message.
inline std::optional<Message> judge_number_token(const unsigned char* t, std::size_t len) noexcept {
  const std::size_t sign = (t[0] == '-') ? 1 : 0;
  const std::size_t digits = len - sign;
  if (digits == 0) return msg::kFloat;  // a lone '-'
  for (std::size_t k = sign; k < len; ++k) {
    if (!is_digit(t[k])) return msg::kFloat;
  }
  if (digits >= 2 && t[sign] == '0') return msg::kFloat;
  if (sign == 1 && digits == 1 && t[1] == '0') return msg::kFloat;  // "-0"
  if (digits > kMaxBareIntegerDigits) return msg::kBareInteger;
  if (digits == kMaxBareIntegerDigits) {  // shorter ones are all within the bound
    std::int64_t magnitude = 0;
    for (std::size_t k = sign; k < len; ++k) magnitude = magnitude * 10 + (t[k] - '0');
    if (magnitude > kMaxExactInteger) return msg::kBareInteger;
  }
  return std::nullopt;
}

// Where the string literal whose opening quote is at p[i] ends, as the
// raw-text scans skip it (a backslash hides the next byte, whatever it is):
// just past its closing quote, or n when it is still open at the end.
inline std::size_t skip_raw_string(const unsigned char* p, std::size_t i, std::size_t n) noexcept {
  std::size_t j = i + 1;
  while (true) {
    j = find_quote_or_backslash(p, j, n);
    if (j >= n) return n;
    if (p[j] == '"') return j + 1;
    j += 2;
    if (j >= n) return n;
  }
}

// Where the number token that starts at p[i] ends: digit runs in wide
// steps, any other byte a number may hold one at a time.
inline std::size_t number_token_end(const unsigned char* p, std::size_t i, std::size_t n) noexcept {
  std::size_t j = skip_digits(p, i + 1, n);
  while (j < n && is_number_token_byte(p[j])) j = skip_digits(p, j + 1, n);
  return j;
}

// Calls on_start(begin) at the start of every number token of text
// (outside string literals), in text order; it returns where the token ends,
// or the text's size to stop.
template <class OnStart>
void for_each_number_start(std::string_view text, OnStart&& on_start) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = p[i];
    if (c == '"') {
      i = skip_raw_string(p, i, n);
    } else if (c == '-' || is_digit(c)) {
      i = on_start(i);
    } else {
      ++i;
    }
  }
}

// Calls on_token(begin, end) for every number token of text in text order,
// until it returns false.
template <class OnToken>
void for_each_number_token(std::string_view text, OnToken&& on_token) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  for_each_number_start(text, [&](std::size_t begin) {
    const std::size_t end = number_token_end(p, begin, text.size());
    return on_token(begin, end) ? end : text.size();
  });
}

}  // namespace quorl
