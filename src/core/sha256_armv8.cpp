// The aarch64 SHA-256 engine, on the ARMv8 Cryptography Extension's SHA-2
// instructions. Only this function is compiled for them, so the build still
// runs on cores without them (some Cortex-A53/A35 parts ship without crypto).
#include "core/sha256_engine.h"

#if QUORL_SHA256_ARMV8

#include <arm_neon.h>

#if defined(__linux__)
#include <sys/auxv.h>
#endif

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
QUORL_SHA2_TARGET void compress_armv8(std::uint32_t* state, const std::uint8_t* blocks,
                                      std::size_t count) noexcept {
  uint32x4_t abcd = vld1q_u32(state);
  uint32x4_t efgh = vld1q_u32(state + 4);

  // Four rounds with message words m (already scheduled); sha256h2 needs the
  // ABCD from before sha256h replaced it.
#define QUORL_SHA_ROUNDS4(q, m)                                        \
  do {                                                                 \
    const uint32x4_t kw = vaddq_u32((m), vld1q_u32(kRound + 4 * (q))); \
    const uint32x4_t abcd_before = abcd;                               \
    abcd = vsha256hq_u32(abcd, efgh, kw);                              \
    efgh = vsha256h2q_u32(efgh, abcd_before, kw);                      \
  } while (0)

  // W[t..t+3] from W[t-16..t-13] (m0, replaced), W[t-12..] (m1),
  // W[t-8..] (m2) and W[t-4..] (m3).
#define QUORL_SHA_SCHEDULE(m0, m1, m2, m3) m0 = vsha256su1q_u32(vsha256su0q_u32(m0, m1), m2, m3)

  for (; count != 0; --count, blocks += 64) {
    const uint32x4_t abcd_in = abcd;
    const uint32x4_t efgh_in = efgh;
    uint32x4_t m0 = vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(blocks + 0)));
    uint32x4_t m1 = vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(blocks + 16)));
    uint32x4_t m2 = vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(blocks + 32)));
    uint32x4_t m3 = vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(blocks + 48)));

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

    abcd = vaddq_u32(abcd, abcd_in);
    efgh = vaddq_u32(efgh, efgh_in);
  }
#undef QUORL_SHA_ROUNDS4
#undef QUORL_SHA_SCHEDULE

  vst1q_u32(state, abcd);
  vst1q_u32(state + 4, efgh);
}

#undef QUORL_SHA2_TARGET

bool cpu_has_sha2() noexcept {
#if defined(__ARM_FEATURE_SHA2)
  return true;  // the whole build already requires the instructions
#elif defined(__linux__) && defined(HWCAP_SHA2)
  // The kernel reports the ID register fields it lets user space use.
  return (getauxval(AT_HWCAP) & HWCAP_SHA2) != 0;
#else
  return false;
#endif
}

}  // namespace

constinit const BlockEngine kArmv8Engine = {"armv8-sha2", &compress_armv8, &cpu_has_sha2};

}  // namespace quorl::sha256_detail

#endif  // QUORL_SHA256_ARMV8
