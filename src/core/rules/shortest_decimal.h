// The shortest digits of the double nearest to a decimal, found from the
// decimal itself with exact 128-bit integer arithmetic: the common float
// token (16 to 19 significant digits, a point within the first 19 places
// after them, as coordinates and measurements are written) needs no general
// conversion to binary and back.
#pragma once

#include <cstdint>

namespace quorl {

// value: the double nearest to the decimal (0 when not found here); its
// shortest digits, the nearest to it of that length, as an integer of
// `count` digits (0: not found here) with the point `decpt` places after
// the first: value = 0.d1d2...dn * 10^decpt.
struct ShortestDecimal {
  double value = 0.0;
  std::uint64_t digits = 0;
  int count = 0;
  int decpt = 0;
};

// For d * 10^k, ties read to even as float() reads them. Exact for d in
// [10^15, 10^19] and k in [-19, 0]; anything else, and the rare tie
// between two shortest candidates, is left to the general conversion.
ShortestDecimal shortest_decimal(std::uint64_t d, int k) noexcept;

}  // namespace quorl
