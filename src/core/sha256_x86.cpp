// The x86 SHA-256 engine, on the SHA extensions (SHA-NI) with SSSE3 and
// SSE4.1; only this function is compiled for them, so the build still runs
// on CPUs without them.
#include "core/sha256_engine.h"

#if QUORL_SHA256_X86

#include <cpuid.h>
#include <immintrin.h>

namespace quorl::sha256_detail {
namespace {

// The SHA extensions keep the state as two vectors, ABEF and CDGH, and take
// the message words in little-endian lanes after a byte swap.
[[gnu::target("sha,sse4.1,ssse3")]] void compress_sha_ni(std::uint32_t* state,
                                                         const std::uint8_t* blocks,
                                                         std::size_t count) noexcept {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);

  __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
  dcba = _mm_shuffle_epi32(dcba, 0xB1);              // CDAB
  hgfe = _mm_shuffle_epi32(hgfe, 0x1B);              // EFGH
  __m128i abef = _mm_alignr_epi8(dcba, hgfe, 8);     // ABEF
  __m128i cdgh = _mm_blend_epi16(hgfe, dcba, 0xF0);  // CDGH

  const __m128i* k = reinterpret_cast<const __m128i*>(kRound);

  // Four rounds with message words m (already scheduled).
#define QUORL_SHA_ROUNDS4(q, m)                               \
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

  for (; count != 0; --count, blocks += 64) {
    const __m128i abef_in = abef;
    const __m128i cdgh_in = cdgh;
    const __m128i* in = reinterpret_cast<const __m128i*>(blocks);
    __m128i m0 = _mm_shuffle_epi8(_mm_loadu_si128(in + 0), byte_swap);
    __m128i m1 = _mm_shuffle_epi8(_mm_loadu_si128(in + 1), byte_swap);
    __m128i m2 = _mm_shuffle_epi8(_mm_loadu_si128(in + 2), byte_swap);
    __m128i m3 = _mm_shuffle_epi8(_mm_loadu_si128(in + 3), byte_swap);

    QUORL_SHA_ROUNDS4(0, m0);
    QUORL_SHA_ROUNDS4(1, m1);
    QUORL_SHA_ROUNDS4(2, m2);
    QUORL_SHA_ROUNDS4(3, m3);
    for (int q = 4; q < 16; q += 4) {
      QUORL_SHA_SCHEDULE(m0, m1, m2, m3);
      QUORL_SHA_ROUNDS4(q + 0, m0);
      QUORL_SHA_SCHEDULE(m1, m2, m3, m0);
      QUORL_SHA_ROUNDS4(q + 1, m1);
      QUORL_SHA_SCHEDULE(m2, m3, m0, m1);
      QUORL_SHA_ROUNDS4(q + 2, m2);
      QUORL_SHA_SCHEDULE(m3, m0, m1, m2);
      QUORL_SHA_ROUNDS4(q + 3, m3);
    }

    abef = _mm_add_epi32(abef, abef_in);
    cdgh = _mm_add_epi32(cdgh, cdgh_in);
  }
#undef QUORL_SHA_ROUNDS4
#undef QUORL_SHA_SCHEDULE

  // Back to A..H order.
  __m128i feba = _mm_shuffle_epi32(abef, 0x1B);  // FEBA
  __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);  // DCHG
  dcba = _mm_blend_epi16(feba, dchg, 0xF0);      // DCBA
  hgfe = _mm_alignr_epi8(dchg, feba, 8);         // HGFE
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), dcba);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), hgfe);
}

bool cpu_has_sha_ni() noexcept {
  // Asked of the CPU directly (every compiler's builtin names the features
  // differently): SHA is leaf 7 EBX bit 29; SSSE3 and SSE4.1 are leaf 1 ECX
  // bits 9 and 19.
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
  const bool ssse3 = (ecx & (1u << 9)) != 0;
  const bool sse41 = (ecx & (1u << 19)) != 0;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
  const bool sha = (ebx & (1u << 29)) != 0;
  return sha && ssse3 && sse41;
}

}  // namespace

constinit const BlockEngine kShaNiEngine = {"x86-sha-ni", &compress_sha_ni, &cpu_has_sha_ni};

}  // namespace quorl::sha256_detail

#endif  // QUORL_SHA256_X86
