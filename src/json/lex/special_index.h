// Where the strings of a text end: its string-special bytes ('"', '\\',
// control bytes; see mark_string_specials) marked one bit a byte, a window
// of the text at a time, ahead of a reader that moves forward through it.
// Finding the end of a string is then a word load and a bit scan, however
// long the string, instead of a vector search whose result the next step
// waits on.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "json/lex/byte_scan.h"

namespace quorl::json {

// The bits of one window of the text, kept between texts (1 KiB), so
// that the index costs the same small memory whatever the text's size: a
// page shared with the reader's other small parts. Marking a window costs
// a call, which over 8 KiB of text is lost in the noise.
class SpecialIndex {
 public:
  static constexpr std::size_t kWords = 128;  // 8 KiB of text a window

  // What the reader holds and asks, by value, so that a lookup is one load
  // away from the bits: the first string-special byte at or after i, or n,
  // as find_string_special(p, i, n) gives. The window moves forward as the
  // reader does; an i behind it marks its window again.
  class Cursor {
   public:
    Cursor(SpecialIndex& index, const unsigned char* p, std::size_t n) noexcept
        : bits_(index.bits_), p_(p), n_(n) {}

    // Inline where strings are read: most strings end within the word of
    // their first byte or the next one.
    [[gnu::always_inline]] std::size_t next(std::size_t i) noexcept {
      if (i - start_ < span_) [[likely]] {
        const std::size_t k = (i - start_) >> 6;
        const std::uint64_t m = bits_[k] >> (i & 63);
        if (m != 0) [[likely]]
          return i + static_cast<std::size_t>(__builtin_ctzll(m));
        if (k + 1 < span_ >> 6 && bits_[k + 1] != 0)
          return start_ + ((k + 1) << 6) + static_cast<std::size_t>(__builtin_ctzll(bits_[k + 1]));
      }
      return next_further(i);
    }

   private:
    [[gnu::noinline]] std::size_t next_further(std::size_t i) noexcept {
      if (i - start_ >= span_) {
        if (i >= n_) return n_;
        mark(i & ~std::size_t{63});
      }
      std::size_t k = (i - start_) >> 6;
      const std::uint64_t m = bits_[k] >> (i & 63);
      if (m != 0) return i + static_cast<std::size_t>(__builtin_ctzll(m));
      while (true) {
        if (++k == span_ >> 6) {
          if (start_ + span_ >= n_) return n_;
          mark(start_ + span_);
          k = 0;
        }
        if (bits_[k] != 0)
          return start_ + (k << 6) + static_cast<std::size_t>(__builtin_ctzll(bits_[k]));
      }
    }

    [[gnu::noinline]] void mark(std::size_t from) noexcept {
      const std::size_t bytes = std::min(n_ - from, kWords * 64);
      mark_string_specials(p_ + from, bytes, bits_);
      start_ = from;
      span_ = (bytes + 63) & ~std::size_t{63};
    }

    std::uint64_t* bits_;
    const unsigned char* p_;
    std::size_t n_;
    std::size_t start_ = 0, span_ = 0;  // the bytes marked: [start_, start_ + span_)
  };

 private:
  std::uint64_t bits_[kWords];
};

}  // namespace quorl::json
