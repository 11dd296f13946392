// UTF-8 validation. A portable kernel that checks one sequence at a time
// (eight ASCII bytes a step), and vector kernels (SSSE3/SSE4.1 and AVX2 on
// x86, Advanced SIMD on AArch64) built on nibble lookup tables: each byte's fault classes are
// looked up from the high nibble of the byte before it, the low nibble of the byte before it and
// its own high nibble, and ANDed; a fault survives only where all three agree. The vector kernels
// only tell which 64-byte block holds the first fault; the exact offset is then found by the
// portable kernel, restarted from the last sequence start before that block.
#include "json/lex/utf8_validate.h"

#include <array>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#define QUORL_UTF8_X86 1
#include <immintrin.h>
#else
#define QUORL_UTF8_X86 0
#endif
// Advanced SIMD is part of every AArch64 processor: no run-time check.
#if defined(__aarch64__) && defined(__ARM_NEON)
#define QUORL_UTF8_NEON 1
#include <arm_neon.h>
#else
#define QUORL_UTF8_NEON 0
#endif

namespace quorl::json {
namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// Offset of the first ill-formed sequence in p[0, n), or kValidUtf8. The
// ranges are those of the well-formed byte sequences table of UTF-8.
std::size_t scalar_scan(const unsigned char* p, std::size_t n) noexcept {
  std::size_t i = 0;
  while (i < n) {
    if (n - i >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p + i, sizeof word);
      if ((word & kHighBits) == 0) {
        i += 8;
        continue;
      }
    }
    const unsigned char lead = p[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0)
        low = 0xA0;  // overlong below U+0800
      else if (lead == 0xED)
        high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0)
        low = 0x90;  // overlong below U+10000
      else if (lead == 0xF4)
        high = 0x8F;  // above U+10FFFF
    } else {
      return i;  // continuation, C0, C1 or F5..FF
    }
    if (n - i < length) return i;
    if (p[i + 1] < low || p[i + 1] > high) return i;
    for (std::size_t k = 2; k < length; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return i;
    }
    i += length;
  }
  return kValidUtf8;
}

std::size_t find_scalar(std::string_view text) noexcept {
  return scalar_scan(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

#if QUORL_UTF8_X86 || QUORL_UTF8_NEON

// A vector kernel found a fault in the block that starts at `block`. Every
// sequence that ends before it is well-formed, so the last sequence start
// before it (at most three continuation bytes back) is a safe restart point.
std::size_t locate_from_block(const unsigned char* p, std::size_t n, std::size_t block) noexcept {
  std::size_t start = block;
  if (start > 0) {
    --start;
    for (int steps = 0; start > 0 && steps < 3 && (p[start] & 0xC0) == 0x80; ++steps) --start;
  }
  const std::size_t rest = scalar_scan(p + start, n - start);
  return rest == kValidUtf8 ? kValidUtf8 : start + rest;
}

// Fault classes. A byte pair is at fault when the bit is set for the first
// byte's high nibble, its low nibble and the second byte's high nibble.
constexpr std::uint8_t kTooShort = 1 << 0;      // a lead, then a lead or ASCII
constexpr std::uint8_t kTooLong = 1 << 1;       // ASCII, then a continuation
constexpr std::uint8_t kOverlong3 = 1 << 2;     // E0 80..9F
constexpr std::uint8_t kTooLarge = 1 << 3;      // F4 90..BF, F5.. 90..BF
constexpr std::uint8_t kSurrogate = 1 << 4;     // ED A0..BF
constexpr std::uint8_t kOverlong2 = 1 << 5;     // C0, C1
constexpr std::uint8_t kTooLarge1000 = 1 << 6;  // F5.. 80..8F
constexpr std::uint8_t kOverlong4 =
    1 << 6;  // F0 80..8F (shares the bit: F0 and F5.. differ in the low nibble)
constexpr std::uint8_t kTwoConts = 1 << 7;  // a continuation after a continuation
// Classes decided by the first byte's high nibble alone.
constexpr std::uint8_t kCarry = kTooShort | kTooLong | kTwoConts;

alignas(16) constexpr std::uint8_t kFirstHigh[16] = {
    kTooLong,
    kTooLong,
    kTooLong,
    kTooLong,
    kTooLong,
    kTooLong,
    kTooLong,
    kTooLong,  // 0___
    kTwoConts,
    kTwoConts,
    kTwoConts,
    kTwoConts,                                           // 10__
    kTooShort | kOverlong2,                              // 1100
    kTooShort,                                           // 1101
    kTooShort | kOverlong3 | kSurrogate,                 // 1110
    kTooShort | kTooLarge | kTooLarge1000 | kOverlong4,  // 1111
};
alignas(16) constexpr std::uint8_t kFirstLow[16] = {
    kCarry | kOverlong3 | kOverlong2 | kOverlong4,  // ___0000
    kCarry | kOverlong2,                            // ___0001
    kCarry,
    kCarry,
    kCarry | kTooLarge,                  // ___0100
    kCarry | kTooLarge | kTooLarge1000,  // ___0101 and up
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000 | kSurrogate,  // ___1101
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
};
alignas(16) constexpr std::uint8_t kSecondHigh[16] = {
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,  // 1000
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,                   // 1001
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,                   // 1010
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,                   // 1011
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort,
};
// A lead byte this close to the end of a vector needs bytes from the next:
// bytes above these limits are unfinished leads.
alignas(32) constexpr std::uint8_t kTailLimit[32] = {
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,  255,  255,
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 0xEF, 0xDF, 0xBF};

constexpr std::size_t kBlock = 64;

#endif  // QUORL_UTF8_X86 || QUORL_UTF8_NEON

#if QUORL_UTF8_NEON

// ---- Advanced SIMD: sixteen bytes a vector, four a block; the same steps
// as the SSE kernel below.

inline uint8x16_t neon_faults(uint8x16_t input, uint8x16_t previous) noexcept {
  const uint8x16_t prev1 = vextq_u8(previous, input, 15);
  const uint8x16_t first_high = vqtbl1q_u8(vld1q_u8(kFirstHigh), vshrq_n_u8(prev1, 4));
  const uint8x16_t first_low = vqtbl1q_u8(vld1q_u8(kFirstLow), vandq_u8(prev1, vdupq_n_u8(0x0F)));
  const uint8x16_t second_high = vqtbl1q_u8(vld1q_u8(kSecondHigh), vshrq_n_u8(input, 4));
  const uint8x16_t special = vandq_u8(vandq_u8(first_high, first_low), second_high);
  const uint8x16_t third = vqsubq_u8(vextq_u8(previous, input, 14), vdupq_n_u8(0xE0 - 0x80));
  const uint8x16_t fourth = vqsubq_u8(vextq_u8(previous, input, 13), vdupq_n_u8(0xF0 - 0x80));
  const uint8x16_t must_continue = vandq_u8(vorrq_u8(third, fourth), vdupq_n_u8(0x80));
  return veorq_u8(must_continue, special);
}

struct NeonState {
  uint8x16_t previous;
  uint8x16_t unfinished;
};

inline bool neon_block(const unsigned char* at, NeonState& state) noexcept {
  const uint8x16_t in0 = vld1q_u8(at), in1 = vld1q_u8(at + 16);
  const uint8x16_t in2 = vld1q_u8(at + 32), in3 = vld1q_u8(at + 48);
  const uint8x16_t any = vorrq_u8(vorrq_u8(in0, in1), vorrq_u8(in2, in3));
  if (vmaxvq_u8(any) < 0x80) {
    const bool ok = vmaxvq_u8(state.unfinished) == 0;
    state.previous = in3;
    state.unfinished = vdupq_n_u8(0);
    return ok;
  }
  const uint8x16_t faults =
      vorrq_u8(vorrq_u8(neon_faults(in0, state.previous), neon_faults(in1, in0)),
               vorrq_u8(neon_faults(in2, in1), neon_faults(in3, in2)));
  state.previous = in3;
  state.unfinished = vqsubq_u8(in3, vld1q_u8(kTailLimit + 16));
  return vmaxvq_u8(faults) == 0;
}

std::size_t find_neon(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  NeonState state{vdupq_n_u8(0), vdupq_n_u8(0)};
  std::size_t i = 0;
  for (; n - i >= kBlock; i += kBlock) {
    if (!neon_block(p + i, state)) return locate_from_block(p, n, i);
  }
  if (i < n) {
    alignas(16) unsigned char tail[kBlock] = {};
    std::memcpy(tail, p + i, n - i);
    if (!neon_block(tail, state)) return locate_from_block(p, n, i);
  } else if (vmaxvq_u8(state.unfinished) != 0) {
    return locate_from_block(p, n, n);
  }
  return kValidUtf8;
}

#endif  // QUORL_UTF8_NEON

#if QUORL_UTF8_X86

// ---- SSSE3 / SSE4.1: sixteen bytes a vector, four a block.

#define QUORL_SSE [[gnu::target("ssse3,sse4.1"), gnu::always_inline]] inline

QUORL_SSE __m128i sse_table(const std::uint8_t* table) noexcept {
  return _mm_load_si128(reinterpret_cast<const __m128i*>(table));
}

// Fault bits of input given the vector before it.
QUORL_SSE __m128i sse_faults(__m128i input, __m128i previous) noexcept {
  const __m128i nibble = _mm_set1_epi8(0x0F);
  const __m128i prev1 = _mm_alignr_epi8(input, previous, 15);
  const __m128i first_high =
      _mm_shuffle_epi8(sse_table(kFirstHigh), _mm_and_si128(_mm_srli_epi16(prev1, 4), nibble));
  const __m128i first_low = _mm_shuffle_epi8(sse_table(kFirstLow), _mm_and_si128(prev1, nibble));
  const __m128i second_high =
      _mm_shuffle_epi8(sse_table(kSecondHigh), _mm_and_si128(_mm_srli_epi16(input, 4), nibble));
  const __m128i special = _mm_and_si128(_mm_and_si128(first_high, first_low), second_high);
  // A byte two after an E_ lead, or three after an F_ lead, must be a
  // continuation: the pair tables flag that as kTwoConts, which this cancels.
  const __m128i prev2 = _mm_alignr_epi8(input, previous, 14);
  const __m128i prev3 = _mm_alignr_epi8(input, previous, 13);
  const __m128i third = _mm_subs_epu8(prev2, _mm_set1_epi8(static_cast<char>(0xE0 - 0x80)));
  const __m128i fourth = _mm_subs_epu8(prev3, _mm_set1_epi8(static_cast<char>(0xF0 - 0x80)));
  const __m128i must_continue =
      _mm_and_si128(_mm_or_si128(third, fourth), _mm_set1_epi8(static_cast<char>(0x80)));
  return _mm_xor_si128(must_continue, special);
}

QUORL_SSE __m128i sse_unfinished(__m128i input) noexcept {
  return _mm_subs_epu8(input, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kTailLimit + 16)));
}

struct SseState {
  __m128i previous;
  __m128i unfinished;
};

// False when the block holds a fault (or finishes one left open before it).
QUORL_SSE bool sse_block(const unsigned char* at, SseState& state) noexcept {
  const __m128i* v = reinterpret_cast<const __m128i*>(at);
  const __m128i in0 = _mm_loadu_si128(v), in1 = _mm_loadu_si128(v + 1);
  const __m128i in2 = _mm_loadu_si128(v + 2), in3 = _mm_loadu_si128(v + 3);
  const __m128i any = _mm_or_si128(_mm_or_si128(in0, in1), _mm_or_si128(in2, in3));
  if (_mm_movemask_epi8(any) == 0) {  // all ASCII: only an open sequence can fail
    const bool ok = _mm_testz_si128(state.unfinished, state.unfinished) != 0;
    state.previous = in3;
    state.unfinished = _mm_setzero_si128();
    return ok;
  }
  const __m128i faults =
      _mm_or_si128(_mm_or_si128(sse_faults(in0, state.previous), sse_faults(in1, in0)),
                   _mm_or_si128(sse_faults(in2, in1), sse_faults(in3, in2)));
  state.previous = in3;
  state.unfinished = sse_unfinished(in3);
  return _mm_testz_si128(faults, faults) != 0;
}

[[gnu::target("ssse3,sse4.1")]] std::size_t find_sse(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  SseState state{_mm_setzero_si128(), _mm_setzero_si128()};
  std::size_t i = 0;
  for (; n - i >= kBlock; i += kBlock) {
    if (!sse_block(p + i, state)) return locate_from_block(p, n, i);
  }
  if (i < n) {
    // The tail, padded with NUL bytes (ASCII), so that a sequence cut short
    // by the end fails inside this block.
    alignas(16) unsigned char tail[kBlock] = {};
    std::memcpy(tail, p + i, n - i);
    if (!sse_block(tail, state)) return locate_from_block(p, n, i);
  } else if (_mm_testz_si128(state.unfinished, state.unfinished) == 0) {
    return locate_from_block(p, n, n);
  }
  return kValidUtf8;
}

#undef QUORL_SSE

// ---- AVX2: thirty-two bytes a vector, two a block.

#define QUORL_AVX2 [[gnu::target("avx2"), gnu::always_inline]] inline

QUORL_AVX2 __m256i avx2_table(const std::uint8_t* table) noexcept {
  return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(table)));
}

QUORL_AVX2 __m256i avx2_faults(__m256i input, __m256i previous) noexcept {
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  // The 16 bytes before each lane: the previous vector's high lane for the
  // low lane, the input's low lane for the high lane.
  const __m256i before = _mm256_permute2x128_si256(previous, input, 0x21);
  const __m256i prev1 = _mm256_alignr_epi8(input, before, 15);
  const __m256i first_high = _mm256_shuffle_epi8(
      avx2_table(kFirstHigh), _mm256_and_si256(_mm256_srli_epi16(prev1, 4), nibble));
  const __m256i first_low =
      _mm256_shuffle_epi8(avx2_table(kFirstLow), _mm256_and_si256(prev1, nibble));
  const __m256i second_high = _mm256_shuffle_epi8(
      avx2_table(kSecondHigh), _mm256_and_si256(_mm256_srli_epi16(input, 4), nibble));
  const __m256i special = _mm256_and_si256(_mm256_and_si256(first_high, first_low), second_high);
  const __m256i prev2 = _mm256_alignr_epi8(input, before, 14);
  const __m256i prev3 = _mm256_alignr_epi8(input, before, 13);
  const __m256i third = _mm256_subs_epu8(prev2, _mm256_set1_epi8(static_cast<char>(0xE0 - 0x80)));
  const __m256i fourth = _mm256_subs_epu8(prev3, _mm256_set1_epi8(static_cast<char>(0xF0 - 0x80)));
  const __m256i must_continue =
      _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(static_cast<char>(0x80)));
  return _mm256_xor_si256(must_continue, special);
}

struct Avx2State {
  __m256i previous;
  __m256i unfinished;
};

QUORL_AVX2 bool avx2_block(const unsigned char* at, Avx2State& state) noexcept {
  const __m256i* v = reinterpret_cast<const __m256i*>(at);
  const __m256i in0 = _mm256_loadu_si256(v), in1 = _mm256_loadu_si256(v + 1);
  if (_mm256_movemask_epi8(_mm256_or_si256(in0, in1)) == 0) {
    const bool ok = _mm256_testz_si256(state.unfinished, state.unfinished) != 0;
    state.previous = in1;
    state.unfinished = _mm256_setzero_si256();
    return ok;
  }
  const __m256i faults = _mm256_or_si256(avx2_faults(in0, state.previous), avx2_faults(in1, in0));
  state.previous = in1;
  state.unfinished =
      _mm256_subs_epu8(in1, _mm256_load_si256(reinterpret_cast<const __m256i*>(kTailLimit)));
  return _mm256_testz_si256(faults, faults) != 0;
}

[[gnu::target("avx2")]] std::size_t find_avx2(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  Avx2State state{_mm256_setzero_si256(), _mm256_setzero_si256()};
  std::size_t i = 0;
  for (; n - i >= kBlock; i += kBlock) {
    if (!avx2_block(p + i, state)) return locate_from_block(p, n, i);
  }
  if (i < n) {
    alignas(32) unsigned char tail[kBlock] = {};
    std::memcpy(tail, p + i, n - i);
    if (!avx2_block(tail, state)) return locate_from_block(p, n, i);
  } else if (_mm256_testz_si256(state.unfinished, state.unfinished) == 0) {
    return locate_from_block(p, n, n);
  }
  return kValidUtf8;
}

#undef QUORL_AVX2

#endif  // QUORL_UTF8_X86

constexpr cpu::KernelFamily kUtf8Family{
    "utf8", std::array{
                Utf8Kernel{"portable", cpu::Tier::Portable, nullptr, {&find_scalar}},
#if QUORL_UTF8_NEON
                Utf8Kernel{"neon", cpu::Tier::Neon, nullptr, {&find_neon}},
#endif
#if QUORL_UTF8_X86
                Utf8Kernel{"sse4.1", cpu::Tier::Sse41, nullptr, {&find_sse}},
                Utf8Kernel{"avx2", cpu::Tier::Avx2, nullptr, {&find_avx2}},
#endif
            }};

using Utf8 = cpu::Registered<kUtf8Family>;

}  // namespace

std::span<const Utf8Kernel> utf8_kernels() noexcept {
  return Utf8::runnable();
}

cpu::FamilyView utf8_family() noexcept {
  return Utf8::view();
}

std::size_t find_invalid_utf8(std::string_view text) noexcept {
  return Utf8::chosen().kernels.find(text);
}

}  // namespace quorl::json
