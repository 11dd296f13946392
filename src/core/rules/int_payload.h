// The payload rule of an "$int" tag, in one place for both paths: a string
// of an optional '-' and then one or more ASCII digits. Its value is the
// digits without leading zeros; zero has no sign.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

namespace quorl {

struct IntPayload {
  bool negative = false;
  std::string_view digits;  // without leading zeros; empty for zero
};

namespace int_payload_detail {
// Whether text[0, n) is all ASCII digits, eight bytes at a time: a byte is
// a digit when its high nibble is 3 and adding 6 leaves it at 3 (no carry
// out of the low nibble, so the low nibble is at most 9).
inline bool all_digits(const char* text, std::size_t n) noexcept {
  constexpr std::uint64_t kHigh = 0xF0F0F0F0F0F0F0F0ULL;
  constexpr std::uint64_t kThrees = 0x3030303030303030ULL;
  constexpr std::uint64_t kSixes = 0x0606060606060606ULL;
  std::size_t k = 0;
  for (; k + 8 <= n; k += 8) {
    std::uint64_t v;
    std::memcpy(&v, text + k, 8);
    if ((v & kHigh) != kThrees || ((v + kSixes) & kHigh) != kThrees) return false;
  }
  for (; k < n; ++k) {
    if (text[k] < '0' || text[k] > '9') return false;
  }
  return true;
}
}  // namespace int_payload_detail

// The payload's value, or nullopt when the text breaks the rule.
inline std::optional<IntPayload> read_int_payload(std::string_view text) noexcept {
  IntPayload payload;
  if (!text.empty() && text.front() == '-') {
    payload.negative = true;
    text.remove_prefix(1);
  }
  if (text.empty() || !int_payload_detail::all_digits(text.data(), text.size()))
    return std::nullopt;
  std::size_t zeros = 0;
  while (zeros < text.size() && text[zeros] == '0') ++zeros;
  payload.digits = text.substr(zeros);
  if (payload.digits.empty()) payload.negative = false;
  return payload;
}

}  // namespace quorl
