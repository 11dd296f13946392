// The string-form kernels behind string_escape.h. Each stores a block of text
// at the cursor before testing it (the room past the rest of the text
// allows it) and advances over its plain bytes only, so that an escape, when
// there is one, overwrites the rest of the block. The tests of a block are
// the scanning kernels' own (byte_scan.h).
#include "json/lex/string_escape.h"

#include <array>
#include <cstring>

#include "json/lex/byte_scan.h"
#include "json/lex/escapes.h"

#if (defined(__x86_64__) || defined(__i386__)) && defined(__SSE2__)
#define QUORL_ESCAPE_X86 1
#include <immintrin.h>
#else
#define QUORL_ESCAPE_X86 0
#endif

namespace quorl::json {
namespace {

using scan_detail::Stop;

// Whether the room left holds the rest of the text and kEscapeRoom.
[[gnu::always_inline]] inline bool room_for_rest(const char* w, const char* end, std::size_t i,
                                                 std::size_t n) noexcept {
  return static_cast<std::size_t>(end - w) >= n - i + kEscapeRoom;
}

// Writes the escape of text[i] at w; returns the index after it.
[[gnu::always_inline]] inline std::size_t put_escape(const unsigned char* text, std::size_t i,
                                                     char*& w) noexcept {
  w += put_canonical_escape(w, text[i]);
  return i + 1;
}

// The last bytes, a plain run at a time, each found by the scanning kernels.
std::size_t escape_runs(const unsigned char* text, std::size_t i, std::size_t n, char*& w,
                        const char* end) noexcept {
  char* out = w;
  while (i < n && room_for_rest(out, end, i, n)) {
    const std::size_t j = find_string_special(text, i, n);
    std::memcpy(out, text + i, j - i);
    out += j - i;
    i = j;
    if (i < n) i = put_escape(text, i, out);
  }
  w = out;
  return i;
}

// ---- 64-bit words: eight bytes a step.

std::size_t word_escape(const unsigned char* text, std::size_t i, std::size_t n, char*& w,
                        const char* end) noexcept {
  using namespace scan_detail;
  char* out = w;
  while (n - i >= 8 && room_for_rest(out, end, i, n)) {
    std::memcpy(out, text + i, 8);
    const std::uint64_t mask = word_stops<Stop::StringSpecial>(load64(text + i));
    if (mask == 0) {
      i += 8;
      out += 8;
      continue;
    }
    const std::size_t plain = first_flagged(mask);
    out += plain;
    i = put_escape(text, i + plain, out);
  }
  w = out;
  return escape_runs(text, i, n, w, end);
}

#if QUORL_ESCAPE_X86

// ---- SSE2: sixteen bytes a step.

// plain_from: the bytes from there to i were copied as they are. The tail,
// shorter than a block, is then one block ending at n that overlaps them.
std::size_t sse2_escape_from(const unsigned char* text, std::size_t i, std::size_t n, char*& w,
                             const char* end, std::size_t plain_from) noexcept {
  using namespace scan_detail;
  char* out = w;
  while (n - i >= 16 && room_for_rest(out, end, i, n)) {
    const __m128i v = load128(text + i);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
    const unsigned mask = sse2_stops<Stop::StringSpecial>(v);
    if (mask == 0) {
      i += 16;
      out += 16;
      continue;
    }
    const auto plain = static_cast<std::size_t>(__builtin_ctz(mask));
    out += plain;
    i = put_escape(text, i + plain, out);
    plain_from = i;
  }
  if (i < n && n - i < 16 && n >= 16 && n - 16 >= plain_from && room_for_rest(out, end, i, n)) {
    const std::size_t back = i - (n - 16);
    const __m128i v = load128(text + n - 16);
    if ((sse2_stops<Stop::StringSpecial>(v) >> back) == 0) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out - back), v);
      out += n - i;
      i = n;
    }
  }
  w = out;
  return escape_runs(text, i, n, w, end);
}

std::size_t sse2_escape(const unsigned char* text, std::size_t i, std::size_t n, char*& w,
                        const char* end) noexcept {
  return sse2_escape_from(text, i, n, w, end, i);
}

// ---- AVX2: thirty-two bytes a step, for texts of two blocks or more; the
// rest as SSE2 does.

[[gnu::target("avx2")]] std::size_t avx2_escape(const unsigned char* text, std::size_t i,
                                                std::size_t n, char*& w, const char* end) noexcept {
  std::size_t plain_from = i;
  if (n - i >= 64) {
    char* out = w;
    while (n - i >= 32 && room_for_rest(out, end, i, n)) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), v);
      const std::uint32_t mask = scan_detail::avx2_stops<Stop::StringSpecial>(v);
      if (mask == 0) {
        i += 32;
        out += 32;
        continue;
      }
      const auto plain = static_cast<std::size_t>(__builtin_ctz(mask));
      out += plain;
      i = put_escape(text, i + plain, out);
      plain_from = i;
    }
    w = out;
  }
  return sse2_escape_from(text, i, n, w, end, plain_from);
}

#endif  // QUORL_ESCAPE_X86

constexpr cpu::KernelFamily kEscapeFamily{
    "escape", std::array{
                  EscapeKernel{"portable", cpu::Tier::Portable, nullptr, {&word_escape}},
#if QUORL_ESCAPE_X86
                  EscapeKernel{"sse2", cpu::Tier::Sse2, nullptr, {&sse2_escape}},
                  EscapeKernel{"avx2", cpu::Tier::Avx2, nullptr, {&avx2_escape}},
#endif
              }};

using Escape = cpu::Registered<kEscapeFamily>;

// Appends to a std::string through put_string_form: room is made by
// resizing, and cut back to what was written at the end.
struct StringOut {
  std::string& s;
  std::size_t used;
  char* room(std::size_t k) {
    if (s.size() - used < k) s.resize(used + k);
    return s.data() + used;
  }
  const char* limit() const noexcept { return s.data() + s.size(); }
  void commit_to(char* w) noexcept { used = static_cast<std::size_t>(w - s.data()); }
};

}  // namespace

std::span<const EscapeKernel> escape_kernels() noexcept {
  return Escape::runnable();
}

cpu::FamilyView escape_family() noexcept {
  return Escape::view();
}

std::size_t escape_text(const unsigned char* text, std::size_t i, std::size_t n, char*& w,
                        const char* end) noexcept {
  return Escape::chosen().kernels.escape(text, i, n, w, end);
}

void append_string_form(std::string& out, std::string_view text) {
  StringOut room{out, out.size()};
  put_string_form(room, text);
  out.resize(room.used);
}

}  // namespace quorl::json
