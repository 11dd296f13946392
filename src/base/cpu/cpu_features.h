// What the processor (and the operating system, for the wider registers'
// state) lets this process run, asked once and then constant. Every kernel
// chosen at run time (scanning, UTF-8 validation, SHA-256, the object
// walk's copy) asks here, so that they all agree.
#pragma once

namespace quorl::cpu {

// x86: SSSE3 and SSE4.1 together (the UTF-8 and SHA kernels need both).
bool has_sse41() noexcept;
// x86: AVX2, with the YMM state saved by the operating system.
bool has_avx2() noexcept;
// x86: AVX-512F and AVX-512BW, with the ZMM and mask state saved.
bool has_avx512bw() noexcept;
// x86: the SHA extensions, with SSSE3 and SSE4.1.
bool has_sha_ni() noexcept;
// AArch64: the SHA-2 instructions.
bool has_arm_sha2() noexcept;

}  // namespace quorl::cpu
