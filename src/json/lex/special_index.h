// Where the strings of a text end: its string-special bytes ('"', '\\',
// control bytes; see mark_string_specials) marked one bit a byte, all of
// them before the text is read.
// Finding the end of a string is then a word load and a bit scan, however
// long the string, instead of a vector search whose result the next step
// waits on.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "json/lex/byte_scan.h"

namespace quorl::json {

class SpecialIndex {
 public:
  // Marks the whole text: n / 8 bytes of bits, kept for the next text.
  void reset(const unsigned char* p, std::size_t n) {
    n_ = n;
    words_ = n / 64 + 1;
    if (capacity_ < words_) {
      bits_.reset(new std::uint64_t[words_]);
      capacity_ = words_;
    }
    mark_string_specials(p, n, bits_.get());
    if (n % 64 == 0) bits_[words_ - 1] = 0;  // the word for the text's end
  }

  // What the reader asks: the first string-special byte at or after i (at
  // most n), or n, as find_string_special(p, i, n) gives. A copy the
  // reader holds, so that a lookup is one load away from the bits.
  struct View {
    const std::uint64_t* bits;
    std::size_t words;
    std::size_t n;

    std::size_t next(std::size_t i) const noexcept {
      std::size_t w = i >> 6;
      const std::uint64_t m = bits[w] >> (i & 63);
      if (m != 0) [[likely]]
        return i + static_cast<std::size_t>(__builtin_ctzll(m));
      for (++w; w < words; ++w) {
        if (bits[w] != 0) return (w << 6) + static_cast<std::size_t>(__builtin_ctzll(bits[w]));
      }
      return n;
    }
  };
  View view() const noexcept { return {bits_.get(), words_, n_}; }

  std::size_t held_bytes() const noexcept { return capacity_ * sizeof(std::uint64_t); }

 private:
  std::unique_ptr<std::uint64_t[]> bits_;
  std::size_t capacity_ = 0;  // words
  std::size_t words_ = 0;     // of the text marked
  std::size_t n_ = 0;
};

}  // namespace quorl::json
