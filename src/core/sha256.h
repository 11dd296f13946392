// SHA-256 (FIPS 180-4), streaming: start, feed any number of times, finish.
// Uses the CPU's SHA extensions when the running processor has them and the
// portable code otherwise; both give the same digest.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorl {

class Sha256 {
 public:
  using Digest = std::array<std::uint8_t, 32>;
  enum class Engine { Auto, Portable, Hardware };

  // Engine::Hardware falls back to Portable when the CPU lacks the extensions.
  explicit Sha256(Engine engine = Engine::Auto) noexcept;

  void feed(std::string_view bytes) noexcept;
  void feed(const void* data, std::size_t size) noexcept;
  Digest finish() noexcept;  // the object must not be fed again afterwards

  // True when this process can use the hardware path.
  static bool hardware_available() noexcept;

 private:
  using BlockFn = void (*)(std::uint32_t* state, const std::uint8_t* blocks, std::size_t count);
  std::uint32_t state_[8];
  std::uint8_t buffer_[64];
  std::size_t buffered_ = 0;
  std::uint64_t total_ = 0;  // bytes fed so far
  BlockFn compress_;
};

std::string to_hex(const Sha256::Digest& digest);

}  // namespace quorl
