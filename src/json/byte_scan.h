// Word-at-a-time search for the bytes that end a plain run inside a JSON
// string literal: sixteen bytes a step with SSE2 (part of every x86-64),
// then eight with plain 64-bit words; the tail shorter than a word goes byte
// by byte.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quorl {

namespace scan_detail {
inline constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
inline constexpr std::uint64_t kHighs = 0x8080808080808080ULL;

// High bit set in each byte of w that equals b (exact, no false positives
// in the lowest flagged byte).
inline std::uint64_t bytes_equal(std::uint64_t w, unsigned char b) noexcept {
  std::uint64_t x = w ^ (kOnes * b);
  return (x - kOnes) & ~x & kHighs;
}
// High bit set in each byte of w below 0x20 (bytes >= 0x80 never flagged).
inline std::uint64_t bytes_below_space(std::uint64_t w) noexcept {
  return (w - kOnes * 0x20) & ~w & kHighs;
}
inline std::uint64_t load64(const unsigned char* p) noexcept {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  // The masks below find the earliest byte as the lowest set bit.
  if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
  return w;
}
inline std::size_t first_flagged(std::uint64_t mask) noexcept {
  return static_cast<std::size_t>(__builtin_ctzll(mask)) / 8;
}
}  // namespace scan_detail

// Whether c ends a plain run inside a string literal: '"', '\\' or below 0x20.
constexpr bool is_string_special(unsigned char c) noexcept { return c < 0x20 || c == '"' || c == '\\'; }

// Index of the first byte in [p + i, p + n) that is '"' or '\\', or n.
inline std::size_t find_quote_or_backslash(const unsigned char* p, std::size_t i,
                                           std::size_t n) noexcept {
  using namespace scan_detail;
#if defined(__SSE2__)
  // Sixteen bytes a step where the baseline instruction set allows it.
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  while (i + 16 <= n) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const int m = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)));
    if (m != 0) return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(m)));
    i += 16;
  }
#endif
  while (i + 8 <= n) {
    std::uint64_t w = load64(p + i);
    std::uint64_t m = bytes_equal(w, '"') | bytes_equal(w, '\\');
    if (m) return i + first_flagged(m);
    i += 8;
  }
  while (i < n && p[i] != '"' && p[i] != '\\') ++i;
  return i;
}

// Index of the first byte in [p + i, p + n) that is '"', '\\' or below
// 0x20, or n. These are the only bytes a string form must escape.
inline std::size_t find_string_special(const unsigned char* p, std::size_t i,
                                       std::size_t n) noexcept {
  using namespace scan_detail;
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i control_max = _mm_set1_epi8(0x1F);
  while (i + 16 <= n) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    // Unsigned v <= 0x1F exactly when max(v, 0x1F) == 0x1F.
    const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(v, control_max), control_max);
    const __m128i hit =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)), control);
    const int m = _mm_movemask_epi8(hit);
    if (m != 0) return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(m)));
    i += 16;
  }
#endif
  while (i + 8 <= n) {
    std::uint64_t w = load64(p + i);
    std::uint64_t m = bytes_equal(w, '"') | bytes_equal(w, '\\') | bytes_below_space(w);
    if (m) return i + first_flagged(m);
    i += 8;
  }
  while (i < n && !is_string_special(p[i])) ++i;
  return i;
}

}  // namespace quorl
