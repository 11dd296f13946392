// SHA-256 (FIPS 180-4): the streaming front end shared by every block
// engine (sha256_engine.h), and the choice of engine. The CPU is asked once
// per process which hardware engine it can run; each object then picks its
// engine in the constructor.
#include "core/sha256.h"

#include <bit>
#include <cstring>

#include "core/sha256_engine.h"

namespace quorl {
namespace {

using sha256_detail::BlockEngine;

constexpr std::uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

// The instruction-set engines this target was built with, best first.
constinit const BlockEngine* const kHardwareEngines[] = {
#if QUORL_SHA256_X86
    &sha256_detail::kShaNiEngine,
#endif
#if QUORL_SHA256_ARMV8
    &sha256_detail::kArmv8Engine,
#endif
    nullptr,  // end of the list (and keeps it non-empty on other targets)
};

// The first engine in the list that the running CPU can run, or null.
// Computed once, thread-safely, and constant afterwards.
const BlockEngine* hardware_engine() noexcept {
  static const BlockEngine* const found = []() -> const BlockEngine* {
    for (const BlockEngine* engine : kHardwareEngines) {
      if (engine != nullptr && engine->cpu_has_it()) return engine;
    }
    return nullptr;
  }();
  return found;
}

inline void store_be32(std::uint8_t* p, std::uint32_t v) noexcept {
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap32(v);
  std::memcpy(p, &v, 4);
}

}  // namespace

bool Sha256::hardware_available() noexcept {
  return hardware_engine() != nullptr;
}

Sha256::Sha256(Engine engine) noexcept : engine_(&sha256_detail::kPortableEngine) {
  std::memcpy(state_, kInitialState, sizeof state_);
  if (engine != Engine::Portable) {
    if (const BlockEngine* hardware = hardware_engine()) engine_ = hardware;
  }
}

std::string_view Sha256::engine_name() const noexcept {
  return engine_->name;
}

void Sha256::feed(std::string_view bytes) noexcept {
  feed(bytes.data(), bytes.size());
}

void Sha256::feed(const void* data, std::size_t size) noexcept {
  if (size == 0) return;  // data may be null
  const auto* p = static_cast<const std::uint8_t*>(data);
  total_ += size;
  if (buffered_ != 0) {
    const std::size_t take = size < 64 - buffered_ ? size : 64 - buffered_;
    std::memcpy(buffer_ + buffered_, p, take);
    buffered_ += take;
    p += take;
    size -= take;
    if (buffered_ < 64) return;
    engine_->compress(state_, buffer_, 1);
    buffered_ = 0;
  }
  if (const std::size_t blocks = size / 64; blocks != 0) {
    engine_->compress(state_, p, blocks);
    p += blocks * 64;
    size -= blocks * 64;
  }
  if (size != 0) {
    std::memcpy(buffer_, p, size);
    buffered_ = size;
  }
}

Sha256::Digest Sha256::finish() noexcept {
  // Padding: 0x80, zeros up to 56 mod 64, then the message length in bits
  // as a 64-bit big-endian number.
  const std::uint64_t bits = total_ * 8;
  buffer_[buffered_++] = 0x80;
  if (buffered_ > 56) {
    std::memset(buffer_ + buffered_, 0, 64 - buffered_);
    engine_->compress(state_, buffer_, 1);
    buffered_ = 0;
  }
  std::memset(buffer_ + buffered_, 0, 56 - buffered_);
  store_be32(buffer_ + 56, static_cast<std::uint32_t>(bits >> 32));
  store_be32(buffer_ + 60, static_cast<std::uint32_t>(bits));
  engine_->compress(state_, buffer_, 1);
  buffered_ = 0;

  Digest out;
  for (unsigned i = 0; i < 8; ++i) store_be32(out.data() + 4 * i, state_[i]);
  return out;
}

std::string to_hex(const Sha256::Digest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(2 * digest.size(), '\0');
  for (std::size_t i = 0; i < digest.size(); ++i) {
    out[2 * i] = kDigits[digest[i] >> 4];
    out[2 * i + 1] = kDigits[digest[i] & 0x0F];
  }
  return out;
}

}  // namespace quorl
