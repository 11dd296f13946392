// UTF-8 validation of raw input bytes, so that bytes from files and sockets
// can be read without first being decoded into a str.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace quorl::json {

inline constexpr std::size_t kValidUtf8 = static_cast<std::size_t>(-1);

// kValidUtf8 when text is well-formed UTF-8 (no overlong forms, no encoded
// surrogates, nothing above U+10FFFF, no truncated sequence); otherwise the
// offset of the first byte that cannot begin or continue a well-formed
// sequence, i.e. the length of the longest well-formed prefix.
std::size_t find_invalid_utf8(std::string_view text) noexcept;

// The validation kernels this process can run, the portable one first; each
// gives exactly find_invalid_utf8's answer. find_invalid_utf8 uses the last
// (the widest the CPU supports), picked once. Exposed for tests and benches.
struct Utf8Kernel {
  std::string_view name;
  std::size_t (*find)(std::string_view text) noexcept;
};
std::span<const Utf8Kernel> utf8_kernels() noexcept;

}  // namespace quorl::json
