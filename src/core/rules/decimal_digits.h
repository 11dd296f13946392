// Decimal digits to and from 64-bit integers, several at a time: the
// float text reads a token's digits and writes a repr's digits with these.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quorl::decimal {

inline constexpr std::uint64_t kPow10[] = {1ULL,
                                           10ULL,
                                           100ULL,
                                           1000ULL,
                                           10000ULL,
                                           100000ULL,
                                           1000000ULL,
                                           10000000ULL,
                                           100000000ULL,
                                           1000000000ULL,
                                           10000000000ULL,
                                           100000000000ULL,
                                           1000000000000ULL,
                                           10000000000000ULL,
                                           100000000000000ULL,
                                           1000000000000000ULL,
                                           10000000000000000ULL,
                                           100000000000000000ULL,
                                           1000000000000000000ULL,
                                           10000000000000000000ULL};

// Any 19 digits fit a word.
inline constexpr std::size_t kWordDigits = 19;

// The value of eight ASCII digits, the first in the lowest byte.
inline std::uint64_t eight_digits(std::uint64_t chunk) noexcept {
  chunk -= 0x3030303030303030ULL;
  chunk = (chunk * 10) + (chunk >> 8);
  return (((chunk & 0x000000FF000000FFULL) * (100 + (1000000ULL << 32))) +
          (((chunk >> 16) & 0x000000FF000000FFULL) * (1 + (10000ULL << 32)))) >>
         32;
}

inline std::uint64_t load_word(const unsigned char* p) noexcept {
  std::uint64_t word;
  std::memcpy(&word, p, 8);
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
  return word;
}

inline constexpr std::uint64_t kAsciiZeros = 0x3030303030303030ULL;

// The value of the n <= kWordDigits ASCII digits at p, all readable bytes
// lying in [begin, end): a last group of fewer than eight digits is read as
// a whole word around it, the bytes beyond it taken as zeros.
inline std::uint64_t digits_value(const unsigned char* p, std::size_t n, const unsigned char* begin,
                                  const unsigned char* end) noexcept {
  std::uint64_t value = 0;
  for (; n > 8; p += 8, n -= 8) value = value * 100000000 + eight_digits(load_word(p));
  if (n == 0) return value;
  std::uint64_t word;
  if (p + n >= begin + 8) {  // the word ending with the digits
    const std::uint64_t before = (std::uint64_t{1} << (8 * (8 - n))) - 1;
    word = (load_word(p + n - 8) & ~before) | (kAsciiZeros & before);
  } else if (p + 8 <= end) {  // the word starting with them
    word = load_word(p);
    if (n < 8) word = (word << (8 * (8 - n))) | (kAsciiZeros >> (8 * n));
  } else {
    for (; n > 0; ++p, --n) value = value * 10 + (*p - '0');
    return value;
  }
  return value * kPow10[n] + eight_digits(word);
}

// The eight ASCII digits of v < 10^8, zero-padded, the first in the lowest
// byte: two four-digit halves, split into pairs and then single digits in
// all lanes of a word at once.
inline std::uint64_t ascii_eight(std::uint32_t v) noexcept {
  const std::uint64_t halves = (v / 10000) | (std::uint64_t{v % 10000} << 32);
  const std::uint64_t hundreds = ((halves * 10486) >> 20) & 0x0000007F0000007FULL;  // / 100
  const std::uint64_t pairs = hundreds | ((halves - hundreds * 100) << 16);
  const std::uint64_t tens = ((pairs * 103) >> 10) & 0x000F000F000F000FULL;  // / 10
  return (tens | ((pairs - tens * 10) << 8)) + kAsciiZeros;
}

inline void store_word(char* w, std::uint64_t word) noexcept {
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
  std::memcpy(w, &word, 8);
}

// A text of 24 bytes held in three words, byte i in word i / 8 at bit
// 8 * (i % 8): a number's digits are put together here and stored whole,
// never read back from memory in pieces (which stalls on stores in flight).
struct Text24 {
  std::uint64_t word[3];

  void store(char* w) const noexcept {
    store_word(w, word[0]);
    store_word(w + 8, word[1]);
    store_word(w + 16, word[2]);
  }
  std::uint8_t byte(int i) const noexcept {
    return static_cast<std::uint8_t>(word[i >> 3] >> (8 * (i & 7)));
  }
  // The text from byte n on (n < 24), followed by '0's.
  Text24 from(int n) const noexcept {
    const int words = n >> 3;
    const int bits = (n & 7) * 8;
    const std::uint64_t a = words == 0 ? word[0] : words == 1 ? word[1] : word[2];
    const std::uint64_t b = words == 0 ? word[1] : words == 1 ? word[2] : kAsciiZeros;
    const std::uint64_t c = words == 0 ? word[2] : kAsciiZeros;
    if (bits == 0) return {{a, b, c}};
    return {{(a >> bits) | (b << (64 - bits)), (b >> bits) | (c << (64 - bits)),
             (c >> bits) | (kAsciiZeros << (64 - bits))}};
  }
};

// The 24 zero-padded ASCII digits of v < 10^24.
inline Text24 digits_text(std::uint64_t v) noexcept {
  const std::uint64_t rest = v % 10000000000000000ULL;
  return {{v < 10000000000000000ULL
               ? kAsciiZeros
               : ascii_eight(static_cast<std::uint32_t>(v / 10000000000000000ULL)),
           ascii_eight(static_cast<std::uint32_t>(rest / 100000000)),
           ascii_eight(static_cast<std::uint32_t>(rest % 100000000))}};
}

// How many digits v > 0 has.
inline int digit_count(std::uint64_t v) noexcept {
  const int guess = (std::bit_width(v) * 1233) >> 12;  // log10(2) ~ 1233 / 4096
  return guess + (v >= kPow10[guess] ? 1 : 0);
}

}  // namespace quorl::decimal
