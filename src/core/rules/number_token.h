// The raw-text rules for bare numbers: a token starts at '-' or a digit and
// runs over the bytes a JSON number may hold; it is accepted only as a plain
// decimal integer within the exact bound. Shared by the gate, which judges
// every token, and the direct path, which takes only accepted ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/messages.h"
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
inline std::optional<Message> judge_number_token(const unsigned char* t,
                                                          std::size_t len) noexcept {
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

}  // namespace quorl
