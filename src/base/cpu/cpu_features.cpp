#include "base/cpu/cpu_features.h"

#if defined(__x86_64__) || defined(__i386__)
#define QUORL_CPU_X86 1
#include <cpuid.h>
#else
#define QUORL_CPU_X86 0
#endif

#if defined(__aarch64__) && defined(__linux__)
#include <sys/auxv.h>
#endif

namespace quorl::cpu {

namespace {

// Asked of the CPU directly rather than through a compiler builtin, whose
// feature names differ between compilers.
struct X86Features {
  bool sse41 = false, avx2 = false, avx512bw = false, sha_ni = false;
};

X86Features query_x86() noexcept {
  X86Features f;
#if QUORL_CPU_X86
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return f;
  const bool ssse3 = (ecx & (1u << 9)) != 0;
  const bool sse41 = (ecx & (1u << 19)) != 0;
  const bool osxsave = (ecx & (1u << 27)) != 0;
  const bool avx = (ecx & (1u << 28)) != 0;
  f.sse41 = ssse3 && sse41;
  // The wider registers count only when the OS saves their state (XCR0):
  // XMM and YMM for AVX2; also the mask and both halves of ZMM for AVX-512.
  unsigned xcr0 = 0;
  if (osxsave) {
    unsigned high = 0;
    __asm__("xgetbv" : "=a"(xcr0), "=d"(high) : "c"(0));
  }
  const bool ymm_state = (xcr0 & 0x6u) == 0x6u;
  const bool zmm_state = (xcr0 & 0xE6u) == 0xE6u;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return f;
  f.avx2 = avx && ymm_state && (ebx & (1u << 5)) != 0;
  f.avx512bw = f.avx2 && zmm_state && (ebx & (1u << 16)) != 0 && (ebx & (1u << 30)) != 0;
  f.sha_ni = f.sse41 && (ebx & (1u << 29)) != 0;
#endif
  return f;
}

const X86Features& x86() noexcept {
  static const X86Features features = query_x86();
  return features;
}

}  // namespace

bool has_sse41() noexcept {
  return x86().sse41;
}
bool has_avx2() noexcept {
  return x86().avx2;
}
bool has_avx512bw() noexcept {
  return x86().avx512bw;
}
bool has_sha_ni() noexcept {
  return x86().sha_ni;
}

bool has_arm_sha2() noexcept {
#if defined(__ARM_FEATURE_SHA2)
  return true;  // the whole build already requires the instructions
#elif defined(__aarch64__) && defined(__linux__) && defined(HWCAP_SHA2)
  // The kernel reports the ID register fields it lets user space use.
  return (getauxval(AT_HWCAP) & HWCAP_SHA2) != 0;
#else
  return false;
#endif
}

}  // namespace quorl::cpu
