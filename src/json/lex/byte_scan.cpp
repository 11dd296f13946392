// The scanning kernels behind byte_scan.h, one per instruction set: 64-bit
// words (any target), SSE2 (every x86-64), AVX2 and AVX-512BW (asked of the
// CPU at run time). Each is a template over what stops the run, so the four
// searches share one loop per instruction set. The tail shorter than a
// vector is read by a window that ends at n (its bytes before i masked off),
// or by a masked load with AVX-512, so no kernel reads outside [p, p + n).
#include "json/lex/byte_scan.h"

#include <array>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#define QUORL_SCAN_X86 1
#include <immintrin.h>
#else
#define QUORL_SCAN_X86 0
#endif

namespace quorl {
namespace {

using scan_detail::Stop;

// ---- 64-bit words: eight bytes a step.

template <Stop S>
std::size_t word_scan(const unsigned char* p, std::size_t i, std::size_t n) noexcept {
  using namespace scan_detail;
  if (i >= n) return i;
  for (; n - i >= 8; i += 8) {
    const std::uint64_t m = word_stops<S>(load64(p + i));
    if (m != 0) return i + first_flagged(m);
  }
  if (i == n) return n;
  if (n >= 8) {
    const std::uint64_t m = word_stops<S>(load64(p + n - 8)) >> (8 * (8 - (n - i)));
    return m != 0 ? i + first_flagged(m) : n;
  }
  while (i < n && !stops<S>(p[i])) ++i;
  return i;
}

// '\n' bytes eight at a time: bytes_equal flags each one by its high bit
// alone, so the flags, moved down to ones, add up bytewise for up to 255
// words before they are gathered (no popcount instruction is assumed).
std::size_t word_count(const unsigned char* p, std::size_t n) noexcept {
  using namespace scan_detail;
  std::size_t count = 0;
  std::size_t i = 0;
  while (n - i >= 8) {
    std::uint64_t sums = 0;
    for (int k = 0; k < 255 && n - i >= 8; ++k, i += 8)
      sums += bytes_equal(load64(p + i), '\n') >> 7;
    // Pairs of byte counts into 16-bit lanes (at most 510 each), whose
    // total (at most 2040) a multiply gathers in the top lane.
    constexpr std::uint64_t kEvenBytes = 0x00FF00FF00FF00FFULL;
    const std::uint64_t pairs = (sums & kEvenBytes) + ((sums >> 8) & kEvenBytes);
    count += static_cast<std::size_t>((pairs * 0x0001000100010001ULL) >> 48);
  }
  for (; i < n; ++i) count += p[i] == '\n' ? 1 : 0;
  return count;
}

// Marking, for every engine: whole blocks of 64 bytes from the text, the
// last part block from a zeroed copy whose bytes past the text are masked
// off (a zero byte is a control byte, so it would be marked).
template <class Block>
void mark_blocks(const unsigned char* p, std::size_t n, std::uint64_t* bits,
                 const Block& block) noexcept {
  std::size_t i = 0;
  for (; n - i >= 64; i += 64) *bits++ = block(p + i);
  if (i == n) return;
  unsigned char last[64] = {};
  std::memcpy(last, p + i, n - i);
  *bits = block(last) & ((std::uint64_t{1} << (n - i)) - 1);
}

// Eight words' high bits, gathered into one bit a byte: after the shift
// each byte is 0 or 1, and the multiply adds byte k's bit into bit 56 + k
// without carries.
void word_mark(const unsigned char* p, std::size_t n, std::uint64_t* bits) noexcept {
  using namespace scan_detail;
  mark_blocks(p, n, bits, [](const unsigned char* b) {
    std::uint64_t m = 0;
    for (int k = 0; k < 8; ++k) {
      const std::uint64_t flags = word_stops<Stop::StringSpecial>(load64(b + 8 * k)) >> 7;
      m |= ((flags * 0x0102040810204080ULL) >> 56) << (8 * k);
    }
    return m;
  });
}

#if defined(__SSE2__)

void sse2_mark(const unsigned char* p, std::size_t n, std::uint64_t* bits) noexcept {
  using namespace scan_detail;
  mark_blocks(p, n, bits, [](const unsigned char* b) {
    std::uint64_t m = 0;
    for (int k = 0; k < 4; ++k)
      m |= std::uint64_t{sse2_stops<Stop::StringSpecial>(load128(b + 16 * k))} << (16 * k);
    return m;
  });
}

// ---- SSE2: thirty-two bytes a step, then sixteen.

// The run's end in [i, n) where n - i < 16: a window ending at n when the
// buffer is that long, else the words.
template <Stop S>
std::size_t sse2_tail(const unsigned char* p, std::size_t i, std::size_t n) noexcept {
  using namespace scan_detail;
  if (i >= n) return i;
  if (n < 16) return word_scan<S>(p, i, n);
  const unsigned m = sse2_stops<S>(load128(p + n - 16)) >> (16 - (n - i));
  return m != 0 ? i + static_cast<std::size_t>(__builtin_ctz(m)) : n;
}

template <Stop S>
std::size_t sse2_scan(const unsigned char* p, std::size_t i, std::size_t n) noexcept {
  using namespace scan_detail;
  if (i >= n) return i;
  for (; n - i >= 32; i += 32) {
    const unsigned m = sse2_stops<S>(load128(p + i)) | (sse2_stops<S>(load128(p + i + 16)) << 16);
    if (m != 0) return i + static_cast<std::size_t>(__builtin_ctz(m));
  }
  if (n - i >= 16) {
    const unsigned m = sse2_stops<S>(load128(p + i));
    if (m != 0) return i + static_cast<std::size_t>(__builtin_ctz(m));
    i += 16;
  }
  return sse2_tail<S>(p, i, n);
}

// Each byte lane counts its newlines (a compare gives -1) for up to 255
// steps; a sum of absolute differences then adds the lanes up. The AVX2
// engine counts with it too: the count runs at the speed of memory already.
std::size_t sse2_count(const unsigned char* p, std::size_t n) noexcept {
  using namespace scan_detail;
  const __m128i newline = _mm_set1_epi8('\n');
  std::size_t count = 0;
  std::size_t i = 0;
  while (n - i >= 16) {
    __m128i lanes = _mm_setzero_si128();
    for (int k = 0; k < 255 && n - i >= 16; ++k, i += 16)
      lanes = _mm_sub_epi8(lanes, _mm_cmpeq_epi8(load128(p + i), newline));
    const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
    count += static_cast<std::size_t>(_mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4));
  }
  return count + word_count(p + i, n - i);
}

#endif  // __SSE2__

#if QUORL_SCAN_X86 && defined(__SSE2__)

// ---- AVX2: sixty-four bytes a step, then thirty-two.

#define QUORL_AVX2 [[gnu::target("avx2"), gnu::always_inline]] inline

using scan_detail::avx2_stops;

QUORL_AVX2 __m256i load256(const unsigned char* p) noexcept {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

template <Stop S>
[[gnu::target("avx2")]] std::size_t avx2_scan(const unsigned char* p, std::size_t i,
                                              std::size_t n) noexcept {
  if (i >= n) return i;
  for (; n - i >= 64; i += 64) {
    const std::uint64_t m =
        avx2_stops<S>(load256(p + i)) | (std::uint64_t{avx2_stops<S>(load256(p + i + 32))} << 32);
    if (m != 0) return i + static_cast<std::size_t>(__builtin_ctzll(m));
  }
  if (n - i >= 32) {
    const std::uint32_t m = avx2_stops<S>(load256(p + i));
    if (m != 0) return i + static_cast<std::size_t>(__builtin_ctz(m));
    i += 32;
  }
  if (i == n) return n;
  if (n < 32) return sse2_scan<S>(p, i, n);
  const std::uint32_t m = avx2_stops<S>(load256(p + n - 32)) >> (32 - (n - i));
  return m != 0 ? i + static_cast<std::size_t>(__builtin_ctz(m)) : n;
}

QUORL_AVX2 std::uint64_t avx2_mark_block(const unsigned char* b) noexcept {
  return avx2_stops<Stop::StringSpecial>(load256(b)) |
         (std::uint64_t{avx2_stops<Stop::StringSpecial>(load256(b + 32))} << 32);
}

[[gnu::target("avx2")]] void avx2_mark(const unsigned char* p, std::size_t n,
                                       std::uint64_t* bits) noexcept {
  std::size_t i = 0;
  for (; n - i >= 64; i += 64) *bits++ = avx2_mark_block(p + i);
  if (i == n) return;
  unsigned char last[64] = {};
  std::memcpy(last, p + i, n - i);
  *bits = avx2_mark_block(last) & ((std::uint64_t{1} << (n - i)) - 1);
}

#undef QUORL_AVX2

// ---- AVX-512BW: sixty-four bytes a step; the tail by a masked load.

#define QUORL_AVX512 [[gnu::target("avx512f,avx512bw"), gnu::always_inline]] inline

template <Stop S>
QUORL_AVX512 std::uint64_t avx512_stops(__m512i v) noexcept {
  if constexpr (S == Stop::QuoteOrBackslash || S == Stop::StringSpecial) {
    __mmask64 hit = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('"')) |
                    _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('\\'));
    if constexpr (S == Stop::StringSpecial)
      hit |= _mm512_cmplt_epu8_mask(v, _mm512_set1_epi8(0x20));
    return hit;
  }
  if constexpr (S == Stop::NonWhitespace) {
    const __m512i table = _mm512_broadcast_i32x4(
        _mm_setr_epi8(' ', 0, 0, 0, 0, 0, 0, 0, 0, '\t', '\n', 0, 0, '\r', 0, 0));
    return _mm512_cmpneq_epi8_mask(_mm512_shuffle_epi8(table, v), v);
  }
  if constexpr (S == Stop::NonDigit) {
    return _mm512_cmpgt_epu8_mask(_mm512_sub_epi8(v, _mm512_set1_epi8('0')), _mm512_set1_epi8(9));
  }
}

template <Stop S>
[[gnu::target("avx512f,avx512bw")]] std::size_t avx512_scan(const unsigned char* p, std::size_t i,
                                                            std::size_t n) noexcept {
  if (i >= n) return i;
  for (; n - i >= 64; i += 64) {
    const std::uint64_t m = avx512_stops<S>(_mm512_loadu_si512(p + i));
    if (m != 0) return i + static_cast<std::size_t>(__builtin_ctzll(m));
  }
  if (i == n) return n;
  // The masked-off bytes load as zero, which may stop a run: only the
  // loaded bytes count.
  const __mmask64 loaded = (std::uint64_t{1} << (n - i)) - 1;
  const std::uint64_t m = avx512_stops<S>(_mm512_maskz_loadu_epi8(loaded, p + i)) & loaded;
  return m != 0 ? i + static_cast<std::size_t>(__builtin_ctzll(m)) : n;
}

[[gnu::target("avx512f,avx512bw,popcnt")]] std::size_t avx512_count(const unsigned char* p,
                                                                    std::size_t n) noexcept {
  const __m512i newline = _mm512_set1_epi8('\n');
  std::size_t count = 0;
  std::size_t i = 0;
  for (; n - i >= 64; i += 64)
    count += static_cast<std::size_t>(
        __builtin_popcountll(_mm512_cmpeq_epi8_mask(_mm512_loadu_si512(p + i), newline)));
  // Masked-off bytes load as zero, never a newline.
  const __mmask64 loaded = (std::uint64_t{1} << (n - i)) - 1;
  return count + static_cast<std::size_t>(__builtin_popcountll(
                     _mm512_cmpeq_epi8_mask(_mm512_maskz_loadu_epi8(loaded, p + i), newline)));
}

// The last part block by a masked load, as the scan does.
[[gnu::target("avx512f,avx512bw")]] void avx512_mark(const unsigned char* p, std::size_t n,
                                                     std::uint64_t* bits) noexcept {
  std::size_t i = 0;
  for (; n - i >= 64; i += 64)
    *bits++ = avx512_stops<Stop::StringSpecial>(_mm512_loadu_si512(p + i));
  if (i == n) return;
  const __mmask64 loaded = (std::uint64_t{1} << (n - i)) - 1;
  *bits = avx512_stops<Stop::StringSpecial>(_mm512_maskz_loadu_epi8(loaded, p + i)) & loaded;
}

#undef QUORL_AVX512

#endif  // QUORL_SCAN_X86 && __SSE2__

// One engine's entry from its kernel template.
#define QUORL_SCAN_KERNELS(name, tier, scan, count, mark)                                    \
  ScanKernel {                                                                               \
    name, tier, nullptr, {                                                                   \
      &scan<Stop::QuoteOrBackslash>, &scan<Stop::StringSpecial>, &scan<Stop::NonWhitespace>, \
          &scan<Stop::NonDigit>, &count, &mark                                               \
    }                                                                                        \
  }

constexpr cpu::KernelFamily kScanFamily{
    "scan",
    std::array{
        QUORL_SCAN_KERNELS("portable", cpu::Tier::Portable, word_scan, word_count, word_mark),
#if defined(__SSE2__)
        QUORL_SCAN_KERNELS("sse2", cpu::Tier::Sse2, sse2_scan, sse2_count, sse2_mark),
#endif
#if QUORL_SCAN_X86 && defined(__SSE2__)
        QUORL_SCAN_KERNELS("avx2", cpu::Tier::Avx2, avx2_scan, sse2_count, avx2_mark),
        QUORL_SCAN_KERNELS("avx512bw", cpu::Tier::Avx512bw, avx512_scan, avx512_count, avx512_mark),
#endif
    }};

#undef QUORL_SCAN_KERNELS

using Scan = cpu::Registered<kScanFamily>;

const ScanKernels& engine() noexcept {
  return Scan::chosen().kernels;
}

}  // namespace

std::span<const ScanKernel> scan_kernels() noexcept {
  return Scan::runnable();
}

std::string_view scan_engine_name() noexcept {
  return Scan::chosen().name;
}

cpu::FamilyView scan_family() noexcept {
  return Scan::view();
}

std::size_t count_newlines(const unsigned char* p, std::size_t n) noexcept {
  return engine().count_newlines(p, n);
}

void mark_string_specials(const unsigned char* p, std::size_t n, std::uint64_t* bits) noexcept {
  engine().mark_string_specials(p, n, bits);
}

namespace scan_detail {

std::size_t wide_quote_or_backslash(const unsigned char* p, std::size_t i, std::size_t n) noexcept {
  return engine().find_quote_or_backslash(p, i, n);
}
std::size_t wide_string_special(const unsigned char* p, std::size_t i, std::size_t n) noexcept {
  return engine().find_string_special(p, i, n);
}
std::size_t wide_whitespace(const unsigned char* p, std::size_t i, std::size_t n) noexcept {
  return engine().skip_whitespace(p, i, n);
}
std::size_t wide_digits(const unsigned char* p, std::size_t i, std::size_t n) noexcept {
  return engine().skip_digits(p, i, n);
}

}  // namespace scan_detail
}  // namespace quorl
