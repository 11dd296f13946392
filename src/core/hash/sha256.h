// SHA-256 (FIPS 180-4), streaming: start, feed any number of times, finish.
// Uses the CPU's SHA instructions when the running processor has them (x86
// SHA extensions, ARMv8 SHA-2) and the portable code otherwise; every engine
// gives the same digest.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/cpu/kernel_registry.h"

namespace quorl {

namespace sha256_detail {
struct BlockKernels;
}
// Engines "portable", "x86-sha-ni" and "armv8-sha2" (see kernel_registry.h).
using Sha256Engine = cpu::Engine<const sha256_detail::BlockKernels*>;

class Sha256 {
 public:
  using Digest = std::array<std::uint8_t, 32>;
  enum class Engine { Auto, Portable, Hardware };

  // Auto: the engine in use, the widest the CPU runs within the tier
  // QUORL_ENGINE names. Hardware: this target's instruction-set engine
  // whatever that tier, or Portable when the CPU lacks the instructions.
  explicit Sha256(Engine engine = Engine::Auto) noexcept;

  void feed(std::string_view bytes) noexcept;
  void feed(const void* data, std::size_t size) noexcept;
  Digest finish() noexcept;  // the object must not be fed again afterwards

  // The engine this object compresses with: "portable", "x86-sha-ni" or
  // "armv8-sha2".
  std::string_view engine_name() const noexcept;

  // True when this process can use the hardware path.
  static bool hardware_available() noexcept;
  static cpu::FamilyView family() noexcept;

 private:
  std::uint32_t state_[8];
  std::uint8_t buffer_[64];
  std::size_t buffered_ = 0;
  std::uint64_t total_ = 0;  // bytes fed so far
  const Sha256Engine* engine_;
};

// Two whole messages at once, each digest as Sha256 gives it. Engines with a
// two-stream kernel (x86 SHA-NI, ARMv8 SHA-2) compress the blocks of both
// messages interleaved: one stream is bound by the latency of its chain of
// round instructions, and two independent chains share that wait. What the
// shorter message leaves of the longer is compressed alone.
void sha256_pair(std::string_view a, std::string_view b, Sha256::Digest& out_a,
                 Sha256::Digest& out_b, Sha256::Engine engine = Sha256::Engine::Auto) noexcept;

std::string to_hex(const Sha256::Digest& digest);
// The same 64 lowercase hex characters, written to out (no terminator).
void to_hex(const Sha256::Digest& digest, char* out) noexcept;

}  // namespace quorl
