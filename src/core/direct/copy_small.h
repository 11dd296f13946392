// Copies and comparisons of the small pieces the direct path moves: keys,
// numbers, commas, short spans. Done inline, each size by two possibly
// overlapping loads, they skip a call into memcpy or memcmp; no byte outside
// the pieces is read or written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quorl::direct_detail {

// The pieces copied while reading and emitting are mostly a few bytes (a key,
// a number, a comma); copied inline they skip the call into memcpy. Every
// size is covered by two possibly overlapping loads, so no byte outside
// [src, src + n) is read and none outside [dst, dst + n) is written.
inline void copy_small(char* dst, const void* src_ptr, std::size_t n) noexcept {
  const char* src = static_cast<const char*>(src_ptr);
  if (n >= 8) {
    if (n > 16) {
      if (n > 64) {
        std::memcpy(dst, src, n);
        return;
      }
      // 17 to 64 bytes (a URL, a sentence): sixteen-byte pieces, the last
      // ones ending at n.
      using Piece = char[16];
      Piece a, b, c, d;
      std::memcpy(a, src, 16);
      std::memcpy(d, src + n - 16, 16);
      if (n > 32) {
        std::memcpy(b, src + 16, 16);
        std::memcpy(c, src + n - 32, 16);
        std::memcpy(dst + 16, b, 16);
        std::memcpy(dst + n - 32, c, 16);
      }
      std::memcpy(dst, a, 16);
      std::memcpy(dst + n - 16, d, 16);
      return;
    }
    std::uint64_t a, b;
    std::memcpy(&a, src, 8);
    std::memcpy(&b, src + n - 8, 8);
    std::memcpy(dst, &a, 8);
    std::memcpy(dst + n - 8, &b, 8);
  } else if (n >= 4) {
    std::uint32_t a, b;
    std::memcpy(&a, src, 4);
    std::memcpy(&b, src + n - 4, 4);
    std::memcpy(dst, &a, 4);
    std::memcpy(dst + n - 4, &b, 4);
  } else if (n != 0) {
    // 1 to 3 bytes: first, middle and last (some of them the same byte).
    const char first = src[0], middle = src[n / 2], last = src[n - 1];
    dst[0] = first;
    dst[n / 2] = middle;
    dst[n - 1] = last;
  }
}

// Whether [a, a + n) and [b, b + n) hold the same bytes: the tails of keys,
// mostly a few bytes, compared inline by two possibly overlapping loads a
// size, as copy_small copies them, so that no byte outside is read.
inline bool equal_small(const void* a_ptr, const void* b_ptr, std::size_t n) noexcept {
  const char* a = static_cast<const char*>(a_ptr);
  const char* b = static_cast<const char*>(b_ptr);
  const auto differ = [](const char* x, const char* y, auto word) {
    decltype(word) u, v;
    std::memcpy(&u, x, sizeof u);
    std::memcpy(&v, y, sizeof v);
    return u != v;
  };
  if (n >= 8) {
    if (n > 16) return std::memcmp(a, b, n) == 0;
    return !differ(a, b, std::uint64_t{}) && !differ(a + n - 8, b + n - 8, std::uint64_t{});
  }
  if (n >= 4)
    return !differ(a, b, std::uint32_t{}) && !differ(a + n - 4, b + n - 4, std::uint32_t{});
  if (n == 0) return true;
  return a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1];
}

}  // namespace quorl::direct_detail
