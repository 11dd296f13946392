// Searches for the byte that ends a run in JSON text: a plain run inside a
// string literal, a run of whitespace, a run of digits. Every call settles
// the first bytes inline (sixteen with SSE2, eight in a 64-bit word
// elsewhere), which is where the short runs of small records end; a longer
// run goes on in the widest kernel this CPU runs (byte_scan.cpp: SSE2, AVX2
// or AVX-512BW on x86-64, 64-bit words elsewhere), chosen once per process.
//
// Every function returns the index of the first stop byte in [p + i, p + n),
// or n when there is none (i when i >= n), and reads no byte outside
// [p, p + n).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "base/cpu/kernel_registry.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if (defined(__x86_64__) || defined(__i386__)) && defined(__SSE2__)
#include <immintrin.h>
#endif

namespace quorl {

// Whether c ends a plain run inside a string literal: '"', '\\' or below 0x20.
constexpr bool is_string_special(unsigned char c) noexcept {
  return c < 0x20 || c == '"' || c == '\\';
}

// One comparison settles the common case, a byte above the space.
constexpr bool is_json_whitespace(unsigned char c) noexcept {
  constexpr std::uint64_t kWhitespace = (std::uint64_t{1} << ' ') | (std::uint64_t{1} << '\t') |
                                        (std::uint64_t{1} << '\n') | (std::uint64_t{1} << '\r');
  return c <= ' ' && ((kWhitespace >> c) & 1) != 0;
}

constexpr bool is_digit(unsigned char c) noexcept {
  return c >= '0' && c <= '9';
}

namespace scan_detail {

// What ends the run each search looks for.
enum class Stop { QuoteOrBackslash, StringSpecial, NonWhitespace, NonDigit };

template <Stop S>
constexpr bool stops(unsigned char c) noexcept {
  if constexpr (S == Stop::QuoteOrBackslash) return c == '"' || c == '\\';
  if constexpr (S == Stop::StringSpecial) return is_string_special(c);
  if constexpr (S == Stop::NonWhitespace) return !is_json_whitespace(c);
  if constexpr (S == Stop::NonDigit) return !is_digit(c);
}

inline constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
inline constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
inline constexpr std::uint64_t kLows = 0x7F7F7F7F7F7F7F7FULL;

// The word tests below set the high bit of exactly the bytes that match:
// each byte's sum stays inside the byte, so no carry or borrow crosses into
// its neighbour. That keeps them right when the bytes before the start of
// the run are masked off after the test.
inline std::uint64_t bytes_equal(std::uint64_t w, unsigned char b) noexcept {
  const std::uint64_t x = w ^ (kOnes * b);
  return ~(((x & kLows) + kLows) | x) & kHighs;
}
// Bytes below `bound` (at most 0x80); bytes >= 0x80 never match.
inline std::uint64_t bytes_below(std::uint64_t w, unsigned char bound) noexcept {
  return ~(((w & kLows) + kOnes * (0x80 - bound)) | w) & kHighs;
}

template <Stop S>
inline std::uint64_t word_stops(std::uint64_t w) noexcept {
  if constexpr (S == Stop::QuoteOrBackslash) return bytes_equal(w, '"') | bytes_equal(w, '\\');
  if constexpr (S == Stop::StringSpecial)
    return bytes_equal(w, '"') | bytes_equal(w, '\\') | bytes_below(w, 0x20);
  if constexpr (S == Stop::NonWhitespace)
    return ~(bytes_equal(w, ' ') | bytes_equal(w, '\t') | bytes_equal(w, '\n') |
             bytes_equal(w, '\r')) &
           kHighs;
  if constexpr (S == Stop::NonDigit)
    return ~(bytes_below(w, '9' + 1) & ~bytes_below(w, '0')) & kHighs;
}

inline std::uint64_t load64(const unsigned char* p) noexcept {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  // The masks find the earliest byte as the lowest set bit.
  if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
  return w;
}
inline std::size_t first_flagged(std::uint64_t mask) noexcept {
  return static_cast<std::size_t>(__builtin_ctzll(mask)) / 8;
}

#if defined(__SSE2__)
// One bit per byte of v (bit k for byte k), set where the byte stops the run.
template <Stop S>
inline unsigned sse2_stops(__m128i v) noexcept {
  if constexpr (S == Stop::QuoteOrBackslash || S == Stop::StringSpecial) {
    __m128i hit =
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\')));
    if constexpr (S == Stop::StringSpecial) {
      // Unsigned v <= 0x1F exactly when max(v, 0x1F) == 0x1F.
      const __m128i control_max = _mm_set1_epi8(0x1F);
      hit = _mm_or_si128(hit, _mm_cmpeq_epi8(_mm_max_epu8(v, control_max), control_max));
    }
    return static_cast<unsigned>(_mm_movemask_epi8(hit));
  }
  if constexpr (S == Stop::NonWhitespace) {
    const __m128i space =
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\t')));
    const __m128i line = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n')),
                                      _mm_cmpeq_epi8(v, _mm_set1_epi8('\r')));
    return ~static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(space, line))) & 0xFFFFu;
  }
  if constexpr (S == Stop::NonDigit) {
    // v - '0' (wrapping) is at most 9 exactly for the digits.
    const __m128i nine = _mm_set1_epi8(9);
    const __m128i d = _mm_sub_epi8(v, _mm_set1_epi8('0'));
    return ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(d, nine), nine))) &
           0xFFFFu;
  }
}
inline __m128i load128(const unsigned char* p) noexcept {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
#endif
#if (defined(__x86_64__) || defined(__i386__)) && defined(__SSE2__)
// The same, thirty-two bytes a step, for code built for AVX2 (a kernel, or
// a function of its own chosen at run time).
template <Stop S>
[[gnu::target("avx2"), gnu::always_inline]] inline std::uint32_t avx2_stops(__m256i v) noexcept {
  if constexpr (S == Stop::QuoteOrBackslash || S == Stop::StringSpecial) {
    __m256i hit = _mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('"')),
                                  _mm256_cmpeq_epi8(v, _mm256_set1_epi8('\\')));
    if constexpr (S == Stop::StringSpecial) {
      const __m256i control_max = _mm256_set1_epi8(0x1F);
      hit = _mm256_or_si256(hit, _mm256_cmpeq_epi8(_mm256_max_epu8(v, control_max), control_max));
    }
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(hit));
  }
  if constexpr (S == Stop::NonWhitespace) {
    // Looked up by the low nibble: each whitespace byte is the only byte
    // with its low nibble that equals its entry; bytes >= 0x80 look up 0.
    const __m256i table =
        _mm256_setr_epi8(' ', 0, 0, 0, 0, 0, 0, 0, 0, '\t', '\n', 0, 0, '\r', 0, 0, ' ', 0, 0, 0, 0,
                         0, 0, 0, 0, '\t', '\n', 0, 0, '\r', 0, 0);
    const __m256i ws = _mm256_cmpeq_epi8(_mm256_shuffle_epi8(table, v), v);
    return ~static_cast<std::uint32_t>(_mm256_movemask_epi8(ws));
  }
  if constexpr (S == Stop::NonDigit) {
    const __m256i nine = _mm256_set1_epi8(9);
    const __m256i d = _mm256_sub_epi8(v, _mm256_set1_epi8('0'));
    return ~static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_max_epu8(d, nine), nine)));
  }
}
#endif

// The rest of a run, in the kernel chosen for this process.
std::size_t wide_quote_or_backslash(const unsigned char* p, std::size_t i, std::size_t n) noexcept;
std::size_t wide_string_special(const unsigned char* p, std::size_t i, std::size_t n) noexcept;
std::size_t wide_whitespace(const unsigned char* p, std::size_t i, std::size_t n) noexcept;
std::size_t wide_digits(const unsigned char* p, std::size_t i, std::size_t n) noexcept;

template <Stop S>
inline std::size_t wide(const unsigned char* p, std::size_t i, std::size_t n) noexcept {
  if constexpr (S == Stop::QuoteOrBackslash) return wide_quote_or_backslash(p, i, n);
  if constexpr (S == Stop::StringSpecial) return wide_string_special(p, i, n);
  if constexpr (S == Stop::NonWhitespace) return wide_whitespace(p, i, n);
  if constexpr (S == Stop::NonDigit) return wide_digits(p, i, n);
}

// The inline first step: one window at p + i; a run that outlasts it goes
// on in the chosen kernel. A window that would pass n is instead placed to
// end at n, with the bits of the bytes before i shifted out.
template <Stop S>
inline std::size_t scan(const unsigned char* p, std::size_t i, std::size_t n) noexcept {
  if (i >= n) return i;
#if defined(__SSE2__)
  if (n - i >= 16) {
    const unsigned m = sse2_stops<S>(load128(p + i));
    if (m != 0) return i + static_cast<std::size_t>(__builtin_ctz(m));
    return wide<S>(p, i + 16, n);
  }
  if (n >= 16) {
    const unsigned m = sse2_stops<S>(load128(p + n - 16)) >> (16 - (n - i));
    return m != 0 ? i + static_cast<std::size_t>(__builtin_ctz(m)) : n;
  }
#else
  if (n - i >= 8) {
    const std::uint64_t m = word_stops<S>(load64(p + i));
    if (m != 0) return i + first_flagged(m);
    return wide<S>(p, i + 8, n);
  }
  if (n >= 8) {
    const std::uint64_t m = word_stops<S>(load64(p + n - 8)) >> (8 * (8 - (n - i)));
    return m != 0 ? i + first_flagged(m) : n;
  }
#endif
  while (i < n && !stops<S>(p[i])) ++i;
  return i;
}

}  // namespace scan_detail

// Index of the first byte in [p + i, p + n) that is '"' or '\\', or n.
inline std::size_t find_quote_or_backslash(const unsigned char* p, std::size_t i,
                                           std::size_t n) noexcept {
  return scan_detail::scan<scan_detail::Stop::QuoteOrBackslash>(p, i, n);
}

// Index of the first byte in [p + i, p + n) that is '"', '\\' or below
// 0x20, or n. These are the only bytes a string form must escape.
inline std::size_t find_string_special(const unsigned char* p, std::size_t i,
                                       std::size_t n) noexcept {
  return scan_detail::scan<scan_detail::Stop::StringSpecial>(p, i, n);
}

// Index of the first byte in [p + i, p + n) that is not ' ', '\t', '\n' or
// '\r', or n. Most runs between tokens are empty or one byte: those two are
// settled before any wider test.
inline std::size_t skip_whitespace(const unsigned char* p, std::size_t i, std::size_t n) noexcept {
  if (i >= n || !is_json_whitespace(p[i])) return i;
  if (++i == n || !is_json_whitespace(p[i])) return i;
  return scan_detail::scan<scan_detail::Stop::NonWhitespace>(p, i + 1, n);
}

// Index of the first byte in [p + i, p + n) that is not '0'..'9', or n.
// Most numbers of records are short: a window of them is settled inline,
// where a number is read, without a call.
[[gnu::always_inline]] inline std::size_t skip_digits(const unsigned char* p, std::size_t i,
                                                      std::size_t n) noexcept {
#if defined(__SSE2__)
  if (i < n && n - i >= 16) {
    const unsigned m =
        scan_detail::sse2_stops<scan_detail::Stop::NonDigit>(scan_detail::load128(p + i));
    if (m != 0) [[likely]]
      return i + static_cast<std::size_t>(__builtin_ctz(m));
    return scan_detail::wide<scan_detail::Stop::NonDigit>(p, i + 16, n);  // the window is done
  }
#endif
  return scan_detail::scan<scan_detail::Stop::NonDigit>(p, i, n);
}

// The number of '\n' bytes in [p, p + n): how runs of JSON Lines are cut
// and numbered. Always the chosen kernel: the runs are long.
std::size_t count_newlines(const unsigned char* p, std::size_t n) noexcept;

// Marks the bytes of [p, p + n) that find_string_special stops at, one bit a
// byte: bit k of bits[w] for the byte at p + 64 * w + k, in (n + 63) / 64
// words; bits past n are clear. Read ahead of a string-heavy text, it lets
// the end of each string be found by a word and a bit scan.
void mark_string_specials(const unsigned char* p, std::size_t n, std::uint64_t* bits) noexcept;

// One engine's kernels, same contracts as the functions above. These take
// no inline first step: a kernel is the whole search.
using ScanFunction = std::size_t (*)(const unsigned char* p, std::size_t i, std::size_t n) noexcept;
using CountFunction = std::size_t (*)(const unsigned char* p, std::size_t n) noexcept;
using MarkFunction = void (*)(const unsigned char* p, std::size_t n, std::uint64_t* bits) noexcept;
struct ScanKernels {
  ScanFunction find_quote_or_backslash;
  ScanFunction find_string_special;
  ScanFunction skip_whitespace;
  ScanFunction skip_digits;
  CountFunction count_newlines;
  MarkFunction mark_string_specials;
};
// Engines "portable", "sse2", "avx2" and "avx512bw".
using ScanKernel = cpu::Engine<ScanKernels>;

// The engines this process can run, narrowest (the portable one) first.
// Exposed for tests and timings.
std::span<const ScanKernel> scan_kernels() noexcept;

// The engine the functions above use: the widest this CPU runs within the
// tier QUORL_ENGINE names (see kernel_registry.h), chosen at the first use.
std::string_view scan_engine_name() noexcept;
cpu::FamilyView scan_family() noexcept;

}  // namespace quorl
