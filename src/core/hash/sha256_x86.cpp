// The x86 SHA-256 engine, on the SHA extensions (SHA-NI) with SSSE3 and
// SSE4.1; only these functions are compiled for them, so the build still runs
// on CPUs without them.
#include "core/hash/sha256_engine.h"

#if QUORL_SHA256_X86

#include <immintrin.h>

namespace quorl::sha256_detail {
namespace {

#define QUORL_SHA_TARGET [[gnu::target("sha,sse4.1,ssse3")]]

// The SHA extensions keep the state as two vectors, ABEF and CDGH, and take
// the message words in little-endian lanes after a byte swap.
QUORL_SHA_TARGET [[gnu::always_inline]] inline void load_state(const std::uint32_t* state,
                                                               __m128i& abef,
                                                               __m128i& cdgh) noexcept {
  __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
  dcba = _mm_shuffle_epi32(dcba, 0xB1);      // CDAB
  hgfe = _mm_shuffle_epi32(hgfe, 0x1B);      // EFGH
  abef = _mm_alignr_epi8(dcba, hgfe, 8);     // ABEF
  cdgh = _mm_blend_epi16(hgfe, dcba, 0xF0);  // CDGH
}

// Back to A..H order.
QUORL_SHA_TARGET [[gnu::always_inline]] inline void store_state(std::uint32_t* state, __m128i abef,
                                                                __m128i cdgh) noexcept {
  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);      // FEBA
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);      // DCHG
  const __m128i dcba = _mm_blend_epi16(feba, dchg, 0xF0);  // DCBA
  const __m128i hgfe = _mm_alignr_epi8(dchg, feba, 8);     // HGFE
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), dcba);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), hgfe);
}

QUORL_SHA_TARGET [[gnu::always_inline]] inline __m128i load_words(const std::uint8_t* block,
                                                                  int i) noexcept {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block) + i), byte_swap);
}

// Four rounds with message words m (already scheduled).
#define QUORL_SHA_ROUNDS4(abef, cdgh, q, m)                   \
  do {                                                        \
    __m128i kw = _mm_add_epi32((m), _mm_load_si128(k + (q))); \
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, kw);             \
    kw = _mm_shuffle_epi32(kw, 0x0E);                         \
    abef = _mm_sha256rnds2_epu32(abef, cdgh, kw);             \
  } while (0)

// W[t..t+3] from W[t-16..t-13] (m0, replaced), W[t-12..] (m1),
// W[t-8..] (m2) and W[t-4..] (m3).
#define QUORL_SHA_SCHEDULE(m0, m1, m2, m3) \
  m0 = _mm_sha256msg2_epu32(               \
      _mm_add_epi32(_mm_sha256msg1_epu32(m0, m1), _mm_alignr_epi8(m3, m2, 4)), m3)

QUORL_SHA_TARGET void compress_sha_ni(std::uint32_t* state, const std::uint8_t* blocks,
                                      std::size_t count) noexcept {
  __m128i abef, cdgh;
  load_state(state, abef, cdgh);
  const __m128i* k = reinterpret_cast<const __m128i*>(kRound);

  for (; count != 0; --count, blocks += 64) {
    const __m128i abef_in = abef;
    const __m128i cdgh_in = cdgh;
    __m128i m0 = load_words(blocks, 0);
    __m128i m1 = load_words(blocks, 1);
    __m128i m2 = load_words(blocks, 2);
    __m128i m3 = load_words(blocks, 3);

    QUORL_SHA_ROUNDS4(abef, cdgh, 0, m0);
    QUORL_SHA_ROUNDS4(abef, cdgh, 1, m1);
    QUORL_SHA_ROUNDS4(abef, cdgh, 2, m2);
    QUORL_SHA_ROUNDS4(abef, cdgh, 3, m3);
    for (int q = 4; q < 16; q += 4) {
      QUORL_SHA_SCHEDULE(m0, m1, m2, m3);
      QUORL_SHA_ROUNDS4(abef, cdgh, q + 0, m0);
      QUORL_SHA_SCHEDULE(m1, m2, m3, m0);
      QUORL_SHA_ROUNDS4(abef, cdgh, q + 1, m1);
      QUORL_SHA_SCHEDULE(m2, m3, m0, m1);
      QUORL_SHA_ROUNDS4(abef, cdgh, q + 2, m2);
      QUORL_SHA_SCHEDULE(m3, m0, m1, m2);
      QUORL_SHA_ROUNDS4(abef, cdgh, q + 3, m3);
    }

    abef = _mm_add_epi32(abef, abef_in);
    cdgh = _mm_add_epi32(cdgh, cdgh_in);
  }
  store_state(state, abef, cdgh);
}

// Two streams, a and b, each step written for a then for b: the two chains
// of sha256rnds2 are independent, so each fills the other's latency.
#define QUORL_SHA_ROUNDS4_PAIR(q, ma, mb)                        \
  do {                                                           \
    __m128i kw_a = _mm_add_epi32((ma), _mm_load_si128(k + (q))); \
    __m128i kw_b = _mm_add_epi32((mb), _mm_load_si128(k + (q))); \
    cdgh_a = _mm_sha256rnds2_epu32(cdgh_a, abef_a, kw_a);        \
    cdgh_b = _mm_sha256rnds2_epu32(cdgh_b, abef_b, kw_b);        \
    kw_a = _mm_shuffle_epi32(kw_a, 0x0E);                        \
    kw_b = _mm_shuffle_epi32(kw_b, 0x0E);                        \
    abef_a = _mm_sha256rnds2_epu32(abef_a, cdgh_a, kw_a);        \
    abef_b = _mm_sha256rnds2_epu32(abef_b, cdgh_b, kw_b);        \
  } while (0)

#define QUORL_SHA_SCHEDULE_PAIR(i0, i1, i2, i3)     \
  do {                                              \
    QUORL_SHA_SCHEDULE(a##i0, a##i1, a##i2, a##i3); \
    QUORL_SHA_SCHEDULE(b##i0, b##i1, b##i2, b##i3); \
  } while (0)

QUORL_SHA_TARGET void compress_sha_ni_pair(std::uint32_t* state_a, const std::uint8_t* blocks_a,
                                           std::uint32_t* state_b, const std::uint8_t* blocks_b,
                                           std::size_t count) noexcept {
  __m128i abef_a, cdgh_a, abef_b, cdgh_b;
  load_state(state_a, abef_a, cdgh_a);
  load_state(state_b, abef_b, cdgh_b);
  const __m128i* k = reinterpret_cast<const __m128i*>(kRound);

  for (; count != 0; --count, blocks_a += 64, blocks_b += 64) {
    const __m128i abef_a_in = abef_a, cdgh_a_in = cdgh_a;
    const __m128i abef_b_in = abef_b, cdgh_b_in = cdgh_b;
    __m128i a0 = load_words(blocks_a, 0), b0 = load_words(blocks_b, 0);
    __m128i a1 = load_words(blocks_a, 1), b1 = load_words(blocks_b, 1);
    __m128i a2 = load_words(blocks_a, 2), b2 = load_words(blocks_b, 2);
    __m128i a3 = load_words(blocks_a, 3), b3 = load_words(blocks_b, 3);

    QUORL_SHA_ROUNDS4_PAIR(0, a0, b0);
    QUORL_SHA_ROUNDS4_PAIR(1, a1, b1);
    QUORL_SHA_ROUNDS4_PAIR(2, a2, b2);
    QUORL_SHA_ROUNDS4_PAIR(3, a3, b3);
    for (int q = 4; q < 16; q += 4) {
      QUORL_SHA_SCHEDULE_PAIR(0, 1, 2, 3);
      QUORL_SHA_ROUNDS4_PAIR(q + 0, a0, b0);
      QUORL_SHA_SCHEDULE_PAIR(1, 2, 3, 0);
      QUORL_SHA_ROUNDS4_PAIR(q + 1, a1, b1);
      QUORL_SHA_SCHEDULE_PAIR(2, 3, 0, 1);
      QUORL_SHA_ROUNDS4_PAIR(q + 2, a2, b2);
      QUORL_SHA_SCHEDULE_PAIR(3, 0, 1, 2);
      QUORL_SHA_ROUNDS4_PAIR(q + 3, a3, b3);
    }

    abef_a = _mm_add_epi32(abef_a, abef_a_in);
    abef_b = _mm_add_epi32(abef_b, abef_b_in);
    cdgh_a = _mm_add_epi32(cdgh_a, cdgh_a_in);
    cdgh_b = _mm_add_epi32(cdgh_b, cdgh_b_in);
  }
  store_state(state_a, abef_a, cdgh_a);
  store_state(state_b, abef_b, cdgh_b);
}

#undef QUORL_SHA_ROUNDS4_PAIR
#undef QUORL_SHA_SCHEDULE_PAIR
#undef QUORL_SHA_ROUNDS4
#undef QUORL_SHA_SCHEDULE
#undef QUORL_SHA_TARGET

}  // namespace

constinit const BlockKernels kShaNiKernels = {&compress_sha_ni, &compress_sha_ni_pair};

}  // namespace quorl::sha256_detail

#endif  // QUORL_SHA256_X86
