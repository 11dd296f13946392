#include "native/hex_to_decimal.h"

#include <charconv>
#include <cstdint>
#include <vector>

#include "json/lex/escapes.h"

namespace quorl::native {

namespace {

constexpr std::uint32_t kLimbBase = 1000000000;  // nine decimal digits a limb
constexpr std::size_t kLimbDigits = 9;
constexpr std::size_t kChunkHexDigits = 7;       // 28 bits: limb * 2^28 + carry fits 64 bits

// limbs = limbs * multiplier + addend, little-endian base 10^9.
void multiply_add(std::vector<std::uint32_t>& limbs, std::uint64_t multiplier,
                  std::uint64_t addend) {
  std::uint64_t carry = addend;
  for (std::uint32_t& limb : limbs) {
    const std::uint64_t t = limb * multiplier + carry;
    limb = static_cast<std::uint32_t>(t % kLimbBase);
    carry = t / kLimbBase;
  }
  while (carry != 0) {
    limbs.push_back(static_cast<std::uint32_t>(carry % kLimbBase));
    carry /= kLimbBase;
  }
}

}  // namespace

bool append_decimal_from_hex(std::string& out, std::string_view hex) {
  for (char c : hex) {
    if (json::hex_digit_value(static_cast<unsigned char>(c)) < 0) return false;
  }
  std::vector<std::uint32_t> limbs;
  limbs.reserve(hex.size() * 4 / 29 + 2);  // log10(16) / 9 limbs per hex digit, rounded up
  // The leading chunk takes the remainder so that every later one is whole.
  std::size_t i = 0;
  std::size_t chunk = hex.size() % kChunkHexDigits;
  if (chunk == 0) chunk = kChunkHexDigits;
  while (i < hex.size()) {
    std::uint64_t value = 0;
    for (std::size_t k = 0; k < chunk; ++k)
      value = value * 16 + static_cast<std::uint64_t>(json::hex_digit_value(static_cast<unsigned char>(hex[i + k])));
    multiply_add(limbs, std::uint64_t{1} << (4 * chunk), value);
    i += chunk;
    chunk = kChunkHexDigits;
  }
  if (limbs.empty()) {
    out.push_back('0');
    return true;
  }
  // The top limb without leading zeros, every other one as nine digits.
  char buf[kLimbDigits];
  auto top = std::to_chars(buf, buf + kLimbDigits, limbs.back());
  out.append(buf, static_cast<std::size_t>(top.ptr - buf));
  out.reserve(out.size() + (limbs.size() - 1) * kLimbDigits);
  for (std::size_t l = limbs.size() - 1; l-- > 0;) {
    std::uint32_t v = limbs[l];
    for (std::size_t d = kLimbDigits; d-- > 0;) {
      buf[d] = static_cast<char>('0' + v % 10);
      v /= 10;
    }
    out.append(buf, kLimbDigits);
  }
  return true;
}

}  // namespace quorl::native
