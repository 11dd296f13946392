// Sixteen bytes as one vector value, for the short fixed-size checks of
// sums lines: GCC and Clang compile these to SSE2 on x86-64 and Advanced
// SIMD on AArch64, both always present, so no run-time dispatch is needed.
#pragma once

#include <cstdint>
#include <cstring>

namespace quorl {

using Bytes16 = unsigned char __attribute__((vector_size(16)));

inline Bytes16 load16(const char* at) noexcept {
  Bytes16 value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

inline void store16(char* at, Bytes16 value) noexcept {
  std::memcpy(at, &value, sizeof value);
}

inline bool none_set(Bytes16 value) noexcept {
  std::uint64_t halves[2];
  std::memcpy(halves, &value, sizeof halves);
  return (halves[0] | halves[1]) == 0;
}

}  // namespace quorl
