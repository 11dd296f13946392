// The aarch64 SHA-256 engine, on the ARMv8 Cryptography Extension's SHA-2
// instructions. Only these functions are compiled for them, so the build still
// runs on cores without them (some Cortex-A53/A35 parts ship without crypto).
#include "core/hash/sha256_engine.h"

#if QUORL_SHA256_ARMV8

#include <arm_neon.h>

namespace quorl::sha256_detail {
namespace {

// The instructions keep the state as two vectors, ABCD and EFGH, in state
// order, and take the message words as native lanes after a byte swap.
// "+crypto", not "+sha2": g++ 12's arm_neon.h guards the SHA-2 intrinsics
// with the older name, and the kernel's SHA2 bit is what is checked anyway.
// clang builds get here only when the whole build targets the instructions.
#if defined(__clang__)
#define QUORL_SHA2_TARGET
#else
#define QUORL_SHA2_TARGET [[gnu::target("+crypto")]]
#endif
QUORL_SHA2_TARGET [[gnu::always_inline]] inline uint32x4_t load_words(const std::uint8_t* block,
                                                                      int i) noexcept {
  return vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(block + 16 * i)));
}

// Four rounds with message words m (already scheduled); sha256h2 needs the
// ABCD from before sha256h replaced it.
#define QUORL_SHA_ROUNDS4(abcd, efgh, q, m)                            \
  do {                                                                 \
    const uint32x4_t kw = vaddq_u32((m), vld1q_u32(kRound + 4 * (q))); \
    const uint32x4_t abcd_before = abcd;                               \
    abcd = vsha256hq_u32(abcd, efgh, kw);                              \
    efgh = vsha256h2q_u32(efgh, abcd_before, kw);                      \
  } while (0)

// W[t..t+3] from W[t-16..t-13] (m0, replaced), W[t-12..] (m1),
// W[t-8..] (m2) and W[t-4..] (m3).
#define QUORL_SHA_SCHEDULE(m0, m1, m2, m3) m0 = vsha256su1q_u32(vsha256su0q_u32(m0, m1), m2, m3)

QUORL_SHA2_TARGET void compress_armv8(std::uint32_t* state, const std::uint8_t* blocks,
                                      std::size_t count) noexcept {
  uint32x4_t abcd = vld1q_u32(state);
  uint32x4_t efgh = vld1q_u32(state + 4);

  for (; count != 0; --count, blocks += 64) {
    const uint32x4_t abcd_in = abcd;
    const uint32x4_t efgh_in = efgh;
    uint32x4_t m0 = load_words(blocks, 0);
    uint32x4_t m1 = load_words(blocks, 1);
    uint32x4_t m2 = load_words(blocks, 2);
    uint32x4_t m3 = load_words(blocks, 3);

    QUORL_SHA_ROUNDS4(abcd, efgh, 0, m0);
    QUORL_SHA_ROUNDS4(abcd, efgh, 1, m1);
    QUORL_SHA_ROUNDS4(abcd, efgh, 2, m2);
    QUORL_SHA_ROUNDS4(abcd, efgh, 3, m3);
    for (int q = 4; q < 16; q += 4) {
      QUORL_SHA_SCHEDULE(m0, m1, m2, m3);
      QUORL_SHA_ROUNDS4(abcd, efgh, q + 0, m0);
      QUORL_SHA_SCHEDULE(m1, m2, m3, m0);
      QUORL_SHA_ROUNDS4(abcd, efgh, q + 1, m1);
      QUORL_SHA_SCHEDULE(m2, m3, m0, m1);
      QUORL_SHA_ROUNDS4(abcd, efgh, q + 2, m2);
      QUORL_SHA_SCHEDULE(m3, m0, m1, m2);
      QUORL_SHA_ROUNDS4(abcd, efgh, q + 3, m3);
    }

    abcd = vaddq_u32(abcd, abcd_in);
    efgh = vaddq_u32(efgh, efgh_in);
  }

  vst1q_u32(state, abcd);
  vst1q_u32(state + 4, efgh);
}

// Two streams, a and b, step by step: their chains of sha256h/sha256h2 are
// independent, so each fills the other's latency.
#define QUORL_SHA_ROUNDS4_PAIR(q, ma, mb)     \
  do {                                        \
    QUORL_SHA_ROUNDS4(abcd_a, efgh_a, q, ma); \
    QUORL_SHA_ROUNDS4(abcd_b, efgh_b, q, mb); \
  } while (0)

#define QUORL_SHA_SCHEDULE_PAIR(i0, i1, i2, i3)     \
  do {                                              \
    QUORL_SHA_SCHEDULE(a##i0, a##i1, a##i2, a##i3); \
    QUORL_SHA_SCHEDULE(b##i0, b##i1, b##i2, b##i3); \
  } while (0)

QUORL_SHA2_TARGET void compress_armv8_pair(std::uint32_t* state_a, const std::uint8_t* blocks_a,
                                           std::uint32_t* state_b, const std::uint8_t* blocks_b,
                                           std::size_t count) noexcept {
  uint32x4_t abcd_a = vld1q_u32(state_a), efgh_a = vld1q_u32(state_a + 4);
  uint32x4_t abcd_b = vld1q_u32(state_b), efgh_b = vld1q_u32(state_b + 4);

  for (; count != 0; --count, blocks_a += 64, blocks_b += 64) {
    const uint32x4_t abcd_a_in = abcd_a, efgh_a_in = efgh_a;
    const uint32x4_t abcd_b_in = abcd_b, efgh_b_in = efgh_b;
    uint32x4_t a0 = load_words(blocks_a, 0), b0 = load_words(blocks_b, 0);
    uint32x4_t a1 = load_words(blocks_a, 1), b1 = load_words(blocks_b, 1);
    uint32x4_t a2 = load_words(blocks_a, 2), b2 = load_words(blocks_b, 2);
    uint32x4_t a3 = load_words(blocks_a, 3), b3 = load_words(blocks_b, 3);

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

    abcd_a = vaddq_u32(abcd_a, abcd_a_in);
    abcd_b = vaddq_u32(abcd_b, abcd_b_in);
    efgh_a = vaddq_u32(efgh_a, efgh_a_in);
    efgh_b = vaddq_u32(efgh_b, efgh_b_in);
  }

  vst1q_u32(state_a, abcd_a);
  vst1q_u32(state_a + 4, efgh_a);
  vst1q_u32(state_b, abcd_b);
  vst1q_u32(state_b + 4, efgh_b);
}

#undef QUORL_SHA_ROUNDS4_PAIR
#undef QUORL_SHA_SCHEDULE_PAIR
#undef QUORL_SHA_ROUNDS4
#undef QUORL_SHA_SCHEDULE
#undef QUORL_SHA2_TARGET

}  // namespace

constinit const BlockKernels kArmv8Kernels = {&compress_armv8, &compress_armv8_pair};

}  // namespace quorl::sha256_detail

#endif  // QUORL_SHA256_ARMV8
