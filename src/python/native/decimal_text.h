// Decimal text of integers, written at a cursor with room for 20 bytes (the
// walk's output) or appended to a string (line and column numbers). Two
// digits at a time from a table; up to four digits inline, the rest out of
// line so that the inline part stays small in the callers' loops.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

namespace quorl::native {

// The two digits of n < 100 at w.
[[gnu::always_inline]] inline char* put_pair(char* w, unsigned n) noexcept {
  static constexpr char kPairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";
  std::memcpy(w, kPairs + 2 * n, 2);
  return w + 2;
}

// The one or two digits of n < 100 at w, without a leading zero.
[[gnu::always_inline]] inline char* put_lead(char* w, unsigned n) noexcept {
  if (n < 10) {
    *w = static_cast<char>('0' + n);
    return w + 1;
  }
  return put_pair(w, n);
}

// Exactly four digits of n < 10^4 at w, leading zeros kept.
[[gnu::always_inline]] inline char* put_four(char* w, unsigned n) noexcept {
  return put_pair(put_pair(w, n / 100), n % 100);
}

// The one to four digits of n < 10^4 at w, without leading zeros.
[[gnu::always_inline]] inline char* put_up_to_four(char* w, unsigned n) noexcept {
  return n < 100 ? put_lead(w, n) : put_pair(put_lead(w, n / 100), n % 100);
}

// Decimal text of u >= 10^4 at w; returns the end.
[[gnu::noinline]] char* put_wide(char* w, unsigned long long u) noexcept;

// Decimal text of u at w (room for 20 bytes); returns the end.
[[gnu::always_inline]] inline char* put_unsigned(char* w, unsigned long long u) noexcept {
  // put_up_to_four's branches, written out: in this order and with this
  // hint they are fastest in the walk's loops.
  if (u < 100) return put_lead(w, static_cast<unsigned>(u));
  if (u < 10000) [[likely]] {
    const auto n = static_cast<unsigned>(u);
    return put_pair(put_lead(w, n / 100), n % 100);
  }
  return put_wide(w, u);
}

// Decimal text of v at w (room for 20 bytes); returns the end. Up to four
// digits inline: integers are most of some documents, and most are small.
[[gnu::always_inline]] inline char* put_decimal(char* w, long long v) noexcept {
  if (v < 0) {
    *w++ = '-';
  }
  // The magnitude as unsigned: -LLONG_MIN does not fit a long long.
  return put_unsigned(
      w, v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v));
}

inline void append_number(std::string& out, std::size_t value) {
  char digits[20];
  out.append(digits, static_cast<std::size_t>(put_unsigned(digits, value) - digits));
}

}  // namespace quorl::native
