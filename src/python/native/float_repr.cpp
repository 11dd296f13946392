#include "native/float_repr.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace quorl::native {

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
    char* end = std::to_chars(w, w + kFloatReprMax - 3, x, std::chars_format::fixed).ptr;
    if (std::memchr(w, '.', static_cast<std::size_t>(end - w)) == nullptr) {
      *end++ = '.';
      *end++ = '0';
    }
    return static_cast<std::size_t>(end - dst);
  }
  // Shortest round-trip digits as d[.ddd]e<sign><exponent>.
  char sci[kFloatReprMax];
  const char* end = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific).ptr;
  char digits[20];
  std::size_t count = 0;
  const char* p = sci;
  for (; p < end && *p != 'e'; ++p) {
    if (*p != '.') digits[count++] = *p;
  }
  int exponent = 0;
  std::from_chars(p + 1 + (p[1] == '+'), end, exponent);
  // The interpreter's rule, with decpt the place of the point before the
  // digits: exponent notation when decpt <= -4 or decpt > 16.
  const int decpt = exponent + 1;
  if (decpt <= -4 || decpt > 16) {
    *w++ = digits[0];
    if (count > 1) {
      *w++ = '.';
      std::memcpy(w, digits + 1, count - 1);
      w += count - 1;
    }
    *w++ = 'e';
    *w++ = exponent < 0 ? '-' : '+';
    const int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < 10) *w++ = '0';
    w = std::to_chars(w, w + 4, magnitude).ptr;
  } else if (decpt <= 0) {
    *w++ = '0';
    *w++ = '.';
    for (int z = decpt; z < 0; ++z) *w++ = '0';
    std::memcpy(w, digits, count);
    w += count;
  } else if (static_cast<std::size_t>(decpt) >= count) {
    std::memcpy(w, digits, count);
    w += count;
    for (std::size_t z = count; z < static_cast<std::size_t>(decpt); ++z) *w++ = '0';
    *w++ = '.';
    *w++ = '0';
  } else {
    const auto point = static_cast<std::size_t>(decpt);
    std::memcpy(w, digits, point);
    w += point;
    *w++ = '.';
    std::memcpy(w, digits + point, count - point);
    w += count - point;
  }
  return static_cast<std::size_t>(w - dst);
}

}  // namespace quorl::native
