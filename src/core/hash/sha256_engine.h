// SHA-256 block engines: the functions that compress whole 64-byte blocks
// into the state. Sha256 (sha256.h) holds the streaming front end and picks
// one engine per object; each engine's kernels live in their own
// sha256_*.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#define QUORL_SHA256_X86 1
#else
#define QUORL_SHA256_X86 0
#endif

// The ARMv8 engine loads message words with a lane byte swap that assumes a
// little-endian target, which every aarch64 Linux is. g++ offers the SHA-2
// intrinsics to one function compiled for them; clang 14's arm_neon.h only
// to a build for a CPU that has them (-march=armv8-a+crypto or later).
#if defined(__aarch64__) && defined(__BYTE_ORDER__) && \
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ &&       \
    (!defined(__clang__) || defined(__ARM_FEATURE_SHA2))
#define QUORL_SHA256_ARMV8 1
#else
#define QUORL_SHA256_ARMV8 0
#endif

namespace quorl::sha256_detail {

// Compresses count consecutive blocks (count may be 0; blocks need no
// particular alignment) into the eight state words A..H.
using BlockFn = void (*)(std::uint32_t* state, const std::uint8_t* blocks,
                         std::size_t count) noexcept;

// Compresses count blocks of each of two messages into their own states,
// the two streams interleaved so that their dependency chains overlap.
using PairFn = void (*)(std::uint32_t* state_a, const std::uint8_t* blocks_a,
                        std::uint32_t* state_b, const std::uint8_t* blocks_b,
                        std::size_t count) noexcept;

// One engine's kernels. Its name, tier and the instructions it needs are
// the registry's (sha256.cpp).
struct BlockKernels {
  BlockFn compress;
  // Null when the engine has no two-stream kernel: sha256_pair then
  // compresses the two messages one after the other.
  PairFn compress_pair;
};

extern const BlockKernels kPortableKernels;  // every CPU runs them
#if QUORL_SHA256_X86
extern const BlockKernels kShaNiKernels;  // SHA extensions, SSSE3, SSE4.1
#endif
#if QUORL_SHA256_ARMV8
extern const BlockKernels kArmv8Kernels;  // ARMv8 SHA-2
#endif

// The round constants, shared by every engine.
alignas(64) inline constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

}  // namespace quorl::sha256_detail
