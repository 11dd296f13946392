// UTF-8 validation of raw input bytes, so that bytes from files and sockets
// can be read without first being decoded into a str.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "base/cpu/kernel_registry.h"

namespace quorl::json {

inline constexpr std::size_t kValidUtf8 = static_cast<std::size_t>(-1);

// kValidUtf8 when text is well-formed UTF-8 (no overlong forms, no encoded
// surrogates, nothing above U+10FFFF, no truncated sequence); otherwise the
// offset of the first byte that cannot begin or continue a well-formed
// sequence, i.e. the length of the longest well-formed prefix.
std::size_t find_invalid_utf8(std::string_view text) noexcept;

// One engine's kernel: exactly find_invalid_utf8's answer.
struct Utf8Kernels {
  std::size_t (*find)(std::string_view text) noexcept;
};
// Engines "portable", "sse4.1", "avx2" and "neon".
using Utf8Kernel = cpu::Engine<Utf8Kernels>;

// The validation engines this process can run, the portable one first.
// find_invalid_utf8 uses the widest within the tier QUORL_ENGINE names,
// picked once. Exposed for tests and benches.
std::span<const Utf8Kernel> utf8_kernels() noexcept;
cpu::FamilyView utf8_family() noexcept;

}  // namespace quorl::json
