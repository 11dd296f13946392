// String forms (quoted, with the escapes canonical text wants) written into
// the walk's output. Short text without escapes (nearly every key and most
// values) is copied in place; the rest goes through the core's plain-run
// scan and escapes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "json/lex/byte_scan.h"
#include "json/lex/string_escape.h"
#include "native/output_buffer.h"

namespace quorl::native {

// Whether a word of text holds a byte that the string form escapes: the
// scan's own test.
inline bool has_special(std::uint64_t word) noexcept {
  return scan_detail::word_stops<scan_detail::Stop::StringSpecial>(word) != 0;
}

#if defined(__SSE2__)
// One bit per byte of v that the string form escapes: the scan's own test.
[[gnu::always_inline]] inline unsigned special_mask(__m128i v) noexcept {
  return scan_detail::sse2_stops<scan_detail::Stop::StringSpecial>(v);
}
#endif

#if defined(__SSE2__)
inline constexpr std::size_t kShortString = 64;
#else
inline constexpr std::size_t kShortString = 16;
#endif
// Room a string form takes beyond its text: quotes, a byte after, and
// whole 16-byte words.
inline constexpr std::size_t kStringSlack = 3 + 16;

// Copies text of at most kShortString bytes to dst when none of it needs an
// escape: two overlapping loads instead of a scan and a call to memcpy.
[[gnu::always_inline]] inline bool copy_short_plain(char* dst, const char* text,
                                                    std::size_t size) noexcept {
#if defined(__SSE2__)
  if (size >
      32) {  // up to 64 (URLs, paths, names): four blocks, the last two overlapping the first
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + size - 32));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + size - 16));
    if ((special_mask(a) | special_mask(b) | special_mask(c) | special_mask(d)) != 0) return false;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), a);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16), b);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + size - 32), c);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + size - 16), d);
    return true;
  }
  if (size > 16) {  // up to 32: two blocks that overlap
    const __m128i head = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
    const __m128i tail = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + size - 16));
    if ((special_mask(head) | special_mask(tail)) != 0) return false;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), head);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + size - 16), tail);
    return true;
  }
#endif
  if (size >= 8) {
    std::uint64_t head, tail;
    std::memcpy(&head, text, 8);
    std::memcpy(&tail, text + size - 8, 8);
#if defined(__SSE2__)
    // Both words in one register: one pass of the scan's three tests.
    const __m128i v = _mm_set_epi64x(static_cast<long long>(tail), static_cast<long long>(head));
    if (special_mask(v) != 0) return false;
#else
    if (has_special(head) || has_special(tail)) return false;
#endif
    std::memcpy(dst, &head, 8);
    std::memcpy(dst + size - 8, &tail, 8);
    return true;
  }
  if (size >= 4) {
    std::uint32_t head, tail;
    std::memcpy(&head, text, 4);
    std::memcpy(&tail, text + size - 4, 4);
    if (has_special((std::uint64_t{tail} << 32) | head)) return false;
    std::memcpy(dst, &head, 4);
    std::memcpy(dst + size - 4, &tail, 4);
    return true;
  }
  if (size == 0) return true;
  // One to three bytes: first, middle and last cover them all, without a loop.
  const auto a = static_cast<unsigned char>(text[0]);
  const auto b = static_cast<unsigned char>(text[size / 2]);
  const auto c = static_cast<unsigned char>(text[size - 1]);
  if (is_string_special(a) || is_string_special(b) || is_string_special(c)) return false;
  dst[0] = static_cast<char>(a);
  dst[size / 2] = static_cast<char>(b);
  dst[size - 1] = static_cast<char>(c);
  return true;
}

// The string form of text of any size, escapes and all, at the end of out.
inline void put_escaped_string(OutputBuffer& out, const char* text, std::size_t size) {
  json::put_string_form(out, std::string_view(text, size));
}

// The string form at the cursor w of out, where room for size + kStringSlack
// bytes has been taken; returns the cursor after it. `after` (':' after a
// key) follows the closing quote.
[[gnu::always_inline]] inline char* string_at(OutputBuffer& out, char* w, const char* text,
                                              std::size_t size, char after) {
  if (size <= kShortString && copy_short_plain(w + 1, text, size)) [[likely]] {
    w[0] = '"';
    w[size + 1] = '"';
    w[size + 2] = after;
    return w + size + 2 + (after != 0);
  }
  out.commit_to(w);
  put_escaped_string(out, text, size);
  if (after != 0) out.put(after);
  return out.pos();
}

// The string form, then `after` unless it is 0, at the end of out.
inline void put_string(OutputBuffer& out, const char* text, std::size_t size, char after = 0) {
  out.commit_to(string_at(out, out.room(size + kStringSlack), text, size, after));
}

}  // namespace quorl::native
