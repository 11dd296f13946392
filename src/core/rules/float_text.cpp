#include "core/rules/float_text.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/rules/decimal_digits.h"
#include "core/rules/number_token.h"
#include "core/rules/shortest_decimal.h"
#include "json/lex/byte_scan.h"

namespace quorl {

namespace {

using decimal::kPow10;

// The count digits of `digits` (no trailing zero), with the point decpt
// places after the first (value = 0.d1d2...dn * 10^decpt), laid out as the
// interpreter lays out a float: exponent notation when decpt <= -4 or
// decpt > 16, else fixed with at least one digit after the point. Pieces
// are copied as whole words, which kFloatTextMax leaves room for.
char* write_repr(std::uint64_t digits, int count, int decpt, char* w) noexcept {
  const decimal::Text24 d = decimal::digits_text(digits).from(24 - count);  // then '0's
  if (decpt <= -4 || decpt > 16) {
    d.store(w + 1);
    w[0] = static_cast<char>(d.byte(0));
    if (count > 1) {
      w[1] = '.';
      w += count + 1;
    } else {
      w += 1;
    }
    const int exponent = decpt - 1;
    *w++ = 'e';
    *w++ = exponent < 0 ? '-' : '+';
    const int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude >= 100) *w++ = static_cast<char>('0' + magnitude / 100);
    *w++ = static_cast<char>('0' + magnitude / 10 % 10);
    *w++ = static_cast<char>('0' + magnitude % 10);
    return w;
  }
  if (decpt <= 0) {
    std::memcpy(w, "0.000", 5);
    d.store(w + 2 - decpt);
    return w + 2 - decpt + count;
  }
  d.store(w);  // the digits, then zeros up to the point when it is past them
  if (decpt >= count) {
    w[decpt] = '.';
    w[decpt + 1] = '0';
    return w + decpt + 2;
  }
  d.from(decpt).store(w + decpt + 1);
  w[decpt] = '.';
  return w + count + 1;
}

// A decimal exponent beyond any double's: digits past it only push it
// further, and it stays far from overflowing the sums it goes into.
constexpr std::int64_t kHugeExponent = std::int64_t{1} << 40;

// Within [1e-307, 1e308), every decimal of at most 15 significant digits
// reads as a double whose shortest form is that decimal (and no other of
// that length reads as it), so it needs no conversion at all.
constexpr std::size_t kOwnFormDigits = 15;
constexpr std::int64_t kOwnFormMinPoint = -306;
constexpr std::int64_t kOwnFormMaxPoint = 308;

}  // namespace

std::size_t float_repr(double x, char* dst) noexcept {
  char* w = dst;
  if (std::signbit(x)) {
    *w++ = '-';
    x = -x;
  }
  if (x == 0) {
    std::memcpy(w, "0.0", 3);
    return static_cast<std::size_t>(w - dst) + 3;
  }
  // Where the interpreter writes fixed notation with an integer part, the
  // shortest fixed form has the same digits; it only lacks a ".0" when the
  // value is whole.
  if (x >= 1 && x < 1e16) {
    char* end = std::to_chars(w, w + kFloatTextMax - 3, x, std::chars_format::fixed).ptr;
    if (std::memchr(w, '.', static_cast<std::size_t>(end - w)) == nullptr) {
      *end++ = '.';
      *end++ = '0';
    }
    return static_cast<std::size_t>(end - dst);
  }
  // Shortest round-trip digits as d[.ddd]e<sign><exponent>.
  char sci[kFloatTextMax];
  const char* end = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific).ptr;
  std::uint64_t digits = 0;
  int count = 0;
  const char* p = sci;
  for (; p < end && *p != 'e'; ++p) {
    if (*p != '.') {
      digits = digits * 10 + static_cast<std::uint64_t>(*p - '0');
      ++count;
    }
  }
  int exponent = 0;
  std::from_chars(p + 1 + (p[1] == '+'), end, exponent);
  return static_cast<std::size_t>(write_repr(digits, count, exponent + 1, w) - dst);
}

FloatTokenAt float_token_at(const unsigned char* p, std::size_t i, std::size_t n,
                            char* dst) noexcept {
  using Kind = FloatTokenText::Kind;
  const std::size_t begin = i;
  // Not a float: the token is the run of bytes a number may hold.
  const auto other = [&]() { return FloatTokenAt{{}, number_token_end(p, begin, n)}; };
  // The grammar: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?, with a
  // fraction or an exponent, and no byte a number may hold after it.
  const bool negative = p[i] == '-';
  if (negative) ++i;
  if (i == n || !is_digit(p[i])) return other();
  const std::size_t int_begin = i;
  i = p[i] == '0' ? i + 1 : skip_digits(p, i + 1, n);
  const std::size_t int_end = i;
  std::size_t frac_begin = i, frac_end = i;
  if (i < n && p[i] == '.') {
    frac_begin = ++i;
    i = skip_digits(p, i, n);
    frac_end = i;
    if (frac_end == frac_begin) return other();
  }
  std::int64_t exponent = 0;
  if (i < n && (p[i] == 'e' || p[i] == 'E')) {
    ++i;
    bool minus = false;
    if (i < n && (p[i] == '+' || p[i] == '-')) minus = p[i++] == '-';
    const std::size_t first = i;
    for (; i < n && is_digit(p[i]); ++i) {
      exponent = exponent * 10 + (p[i] - '0');
      if (exponent > kHugeExponent) exponent = kHugeExponent;
    }
    if (i == first) return other();
    if (minus) exponent = -exponent;
  } else if (frac_end == int_end) {
    return other();  // a plain integer
  }
  if (i < n && is_number_token_byte(p[i])) return other();  // more follows: "01.5", "1.5.3"
  const FloatTokenAt token{{Kind::Text, 0}, i};

  // The significant digits: the integer part's then the fraction's, less
  // leading and trailing zeros; the value is their integer * 10^scale.
  const unsigned char* a = p + int_begin;
  std::size_t a_len = int_end - int_begin;
  const unsigned char* b = p + frac_begin;
  std::size_t b_len = frac_end - frac_begin;
  std::int64_t scale = exponent - static_cast<std::int64_t>(b_len);
  if (a_len == 1 && a[0] == '0') {
    a_len = 0;
    while (b_len > 0 && b[0] == '0') ++b, --b_len;
  }
  while (b_len > 0 && b[b_len - 1] == '0') --b_len, ++scale;
  if (b_len == 0) {
    while (a_len > 0 && a[a_len - 1] == '0') --a_len, ++scale;
  }
  const std::size_t count = a_len + b_len;
  const std::int64_t decpt = static_cast<std::int64_t>(count) + scale;
  const auto text = [&](char* end) {
    return FloatTokenAt{{Kind::Text, static_cast<std::size_t>(end - dst)}, token.end};
  };

  char* w = dst;
  if (negative) *w++ = '-';
  if (count == 0) {  // zero, whatever its exponent
    std::memcpy(w, "0.0", 3);
    return text(w + 3);
  }
  double x = 0.0;
  if (count <= decimal::kWordDigits) {
    const std::uint64_t value = decimal::digits_value(a, a_len, p, p + n) * kPow10[b_len] +
                                decimal::digits_value(b, b_len, p, p + n);
    if (count <= kOwnFormDigits && decpt >= kOwnFormMinPoint && decpt <= kOwnFormMaxPoint)
      return text(write_repr(value, static_cast<int>(count), static_cast<int>(decpt), w));
    if (scale >= -64 && scale <= 0) {
      const ShortestDecimal shortest = shortest_decimal(value, static_cast<int>(scale));
      if (shortest.count != 0)
        return text(write_repr(shortest.digits, shortest.count, shortest.decpt, w));
      x = shortest.value;
    }
  }
  if (x != 0.0) return {{Kind::Text, float_repr(negative ? -x : x, dst)}, token.end};
  const auto* first = reinterpret_cast<const char*>(p + begin);
  const std::from_chars_result read = std::from_chars(first, first + (token.end - begin), x);
  if (read.ec == std::errc::result_out_of_range) {
    // Beyond the largest double, or below half the smallest: the sign of
    // the point's place tells which.
    if (decpt > 0) return {{Kind::Overflow, 0}, token.end};
    x = negative ? -0.0 : 0.0;
  }
  return {{Kind::Text, float_repr(x, dst)}, token.end};
}

FloatTokenText float_token_text(const unsigned char* t, std::size_t len, char* dst) noexcept {
  if (len == 0) return {};
  const FloatTokenAt token = float_token_at(t, 0, len, dst);
  return token.end == len ? token.text : FloatTokenText{};
}

}  // namespace quorl
