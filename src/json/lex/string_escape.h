// Writing text in the canonical string form: '"' and '\\' behind a
// backslash, U+0000..U+001F as \u00xx in lowercase hex, every other byte as
// it is. The kernels (64-bit words, SSE2, AVX2) copy a block and test it in
// one pass, the output advancing only over the plain bytes, and write each
// escape in place; the registry (kernel_registry.h) picks one per process.
// The encoder and the quorl package's object walk both write strings here.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "base/cpu/kernel_registry.h"

namespace quorl::json {

// Room a kernel needs past the rest of its text: one escape, and a whole
// block stored before it is tested.
inline constexpr std::size_t kEscapeRoom = 6 + 32;

// Writes text[i, n) in the string form (no quotes) at w while [w, end)
// holds the rest of the text plus kEscapeRoom; returns the index it stopped
// at (n when done) and moves w on.
using EscapeFunction = std::size_t (*)(const unsigned char* text, std::size_t i, std::size_t n,
                                       char*& w, const char* end) noexcept;
struct EscapeKernels {
  EscapeFunction escape;
};
// Engines "portable", "sse2" and "avx2".
using EscapeKernel = cpu::Engine<EscapeKernels>;

// The engines this process can run, the portable one first (for tests).
std::span<const EscapeKernel> escape_kernels() noexcept;
cpu::FamilyView escape_family() noexcept;

// The kernel in use.
std::size_t escape_text(const unsigned char* text, std::size_t i, std::size_t n, char*& w,
                        const char* end) noexcept;

// The string form of text, quotes included, written to `out`, a buffer
// with room(n) (a cursor with n bytes of room), limit() (past the room) and
// commit_to(cursor).
template <class Out>
void put_string_form(Out& out, std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  char* w = out.room(n + 2 + kEscapeRoom);
  *w++ = '"';
  std::size_t i = escape_text(p, 0, n, w, out.limit());
  while (i < n) {
    // Escapes ate the room beyond the text: more, with some to spare.
    out.commit_to(w);
    w = out.room(n - i + 1 + kEscapeRoom + 128);
    i = escape_text(p, i, n, w, out.limit());
  }
  *w++ = '"';
  out.commit_to(w);
}

// The same, appended to a std::string.
void append_string_form(std::string& out, std::string_view text);

}  // namespace quorl::json
