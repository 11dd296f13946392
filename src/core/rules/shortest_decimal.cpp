#include "core/rules/shortest_decimal.h"

#include <bit>

#include "core/rules/decimal_digits.h"

namespace quorl {

#if defined(__SIZEOF_INT128__)

namespace {

using u64 = std::uint64_t;
__extension__ using u128 = unsigned __int128;
using decimal::kPow10;

// 10^n as a double, exact up to 10^22.
constexpr double kPow10Double[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,
                                   1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19};

constexpr u64 kHiddenBit = u64{1} << 52;
constexpr int kMaxPlaces = 19;  // 10^19 fits a word, and 10^19 * 2^55 128 bits
constexpr int kMaxSettleSteps = 4;

}  // namespace

ShortestDecimal shortest_decimal(u64 d, int k) noexcept {
  ShortestDecimal out;
  if (d < kPow10[15] || d > kPow10[19] || k > 0 || k < -kMaxPlaces) return out;
  const int places = -k;
  const u64 p = kPow10[places];

  // All values are scaled by P * 2^s, s = 2 - E, where x = M * 2^E: the
  // token is then D * 2^s, x is 4M * P, the bounds of the values that read
  // as x are 4M * P - 2P and 4M * P + 2P (- P below a power of two, whose
  // lower neighbour is nearer), and a candidate C * 10^k is C * 2^s. The
  // quotient, within a unit of the last place, is settled in a step or two.
  double x = static_cast<double>(d) / kPow10Double[places];
  u64 m = 0;
  int s = 0;
  u128 x_scaled = 0, low = 0, high = 0;
  bool settled = false;
  for (int step = 0; step < kMaxSettleSteps && !settled; ++step) {
    const u64 bits = std::bit_cast<u64>(x);
    m = (bits & (kHiddenBit - 1)) | kHiddenBit;
    s = 1075 + 2 - static_cast<int>(bits >> 52);
    // From 2^55 on the scale would be a fraction (and D >= 10^15 keeps x
    // far above the subnormals).
    if (s < 0) return out;
    const u128 token = u128{d} << s;
    x_scaled = u128{4 * m} * p;
    low = x_scaled - (m == kHiddenBit ? u128{p} : u128{p} << 1);
    high = x_scaled + (u128{p} << 1);
    const bool inclusive = (m & 1) == 0;  // ties read as the even one
    if (token < low || (token == low && !inclusive)) {
      x = std::bit_cast<double>(bits - 1);
    } else if (token > high || (token == high && !inclusive)) {
      x = std::bit_cast<double>(bits + 1);
    } else {
      settled = true;
    }
  }
  if (!settled) return out;
  out.value = x;

  // The candidates C (in units of 10^k) that read as x: [c_min, c_max].
  const bool inclusive = (m & 1) == 0;
  const u128 unit_mask = (u128{1} << s) - 1;
  u64 c_min = static_cast<u64>(low >> s);
  if (!inclusive || (low & unit_mask) != 0) ++c_min;
  u64 c_max = static_cast<u64>(high >> s);
  if (!inclusive && (high & unit_mask) == 0) --c_max;

  // The fewest digits: the largest j with a multiple of 10^j in range; and
  // of that length, the one nearest to x, which is floor(x / 10^j) or the
  // next one.
  u64 q_min = c_min, q_max = c_max, q = static_cast<u64>(x_scaled >> s);
  int j = 0;
  while (j < 19) {
    const u64 next_min = q_min / 10 + (q_min % 10 != 0);
    const u64 next_max = q_max / 10;
    if (next_min > next_max) break;
    q_min = next_min;
    q_max = next_max;
    q /= 10;
    ++j;
  }
  if (q < q_min) {
    q = q_min;
  } else if (q + 1 <= q_max) {
    const u128 below = x_scaled - ((u128{q} * kPow10[j]) << s);
    const u128 above = ((u128{q + 1} * kPow10[j]) << s) - x_scaled;
    if (below == above) return out;  // a tie: the general conversion decides
    if (above < below) ++q;
  }
  // q has no trailing zero, else a multiple of 10^(j+1) would be in range.
  out.digits = q;
  out.count = decimal::digit_count(q);
  out.decpt = out.count + j + k;
  return out;
}

#else

ShortestDecimal shortest_decimal(std::uint64_t, int) noexcept {
  return {};
}

#endif

}  // namespace quorl
