// SHA-256 (FIPS 180-4): the streaming front end shared by every block
// engine (sha256_engine.h), and the engines' entry in the kernel registry.
// Each object picks its engine in the constructor.
#include "core/hash/sha256.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "base/cpu/cpu_features.h"
#include "core/hash/sha256_engine.h"

namespace quorl {
namespace {

using sha256_detail::BlockKernels;

constexpr std::uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

constexpr cpu::KernelFamily kSha256Family{
    "sha256",
    std::array{
        Sha256Engine{"portable", cpu::Tier::Portable, nullptr, &sha256_detail::kPortableKernels},
#if QUORL_SHA256_X86
        Sha256Engine{"x86-sha-ni", cpu::Tier::Sse41, &cpu::has_sha_ni,
                     &sha256_detail::kShaNiKernels},
#endif
#if QUORL_SHA256_ARMV8
        Sha256Engine{"armv8-sha2", cpu::Tier::Neon, &cpu::has_arm_sha2,
                     &sha256_detail::kArmv8Kernels},
#endif
    }};

using Family = cpu::Registered<kSha256Family>;

inline void store_be32(std::uint8_t* p, std::uint32_t v) noexcept {
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap32(v);
  std::memcpy(p, &v, 4);
}

// The engine an object asking for `engine` gets.
const Sha256Engine* pick_engine(Sha256::Engine engine) noexcept {
  switch (engine) {
    case Sha256::Engine::Portable:
      return &Family::runnable().front();
    case Sha256::Engine::Hardware:
      return &Family::widest();
    case Sha256::Engine::Auto:
      break;
  }
  return &Family::chosen();
}

// Writes the padding: 0x80, zeros up to 56 mod 64, then the message length
// in bits as a 64-bit big-endian number. block holds `used` bytes of the
// message (less than 64) and has room for two blocks; returns how many of
// them the padded tail fills.
std::size_t pad_tail(std::uint8_t* block, std::size_t used, std::uint64_t total) noexcept {
  const std::uint64_t bits = total * 8;
  block[used++] = 0x80;
  const std::size_t blocks = used > 56 ? 2 : 1;
  std::uint8_t* end = block + 64 * blocks;
  std::memset(block + used, 0, static_cast<std::size_t>(end - 8 - (block + used)));
  store_be32(end - 8, static_cast<std::uint32_t>(bits >> 32));
  store_be32(end - 4, static_cast<std::uint32_t>(bits));
  return blocks;
}

// A whole message as the blocks the compression reads: its full blocks in
// place, then one or two blocks of its rest and the padding.
class PaddedMessage {
 public:
  explicit PaddedMessage(std::string_view message) noexcept
      : body_(reinterpret_cast<const std::uint8_t*>(message.data())),
        body_blocks_(message.size() / 64) {
    const std::size_t rest = message.size() % 64;
    if (rest != 0) std::memcpy(tail_, body_ + 64 * body_blocks_, rest);
    total_blocks_ = body_blocks_ + pad_tail(tail_, rest, message.size());
  }
  PaddedMessage(const PaddedMessage&) = delete;
  PaddedMessage& operator=(const PaddedMessage&) = delete;

  std::size_t left() const noexcept { return total_blocks_ - next_; }
  // The next blocks that lie one after the other, and how many.
  const std::uint8_t* run() const noexcept {
    return next_ < body_blocks_ ? body_ + 64 * next_ : tail_ + 64 * (next_ - body_blocks_);
  }
  std::size_t run_blocks() const noexcept {
    return next_ < body_blocks_ ? body_blocks_ - next_ : total_blocks_ - next_;
  }
  void advance(std::size_t blocks) noexcept { next_ += blocks; }

 private:
  const std::uint8_t* body_;
  std::size_t body_blocks_;
  std::size_t total_blocks_ = 0;
  std::size_t next_ = 0;
  std::uint8_t tail_[128];
};

void compress_rest(const BlockKernels& engine, std::uint32_t* state, PaddedMessage& m) noexcept {
  while (m.left() != 0) {
    const std::size_t n = m.run_blocks();
    engine.compress(state, m.run(), n);
    m.advance(n);
  }
}

void store_digest(const std::uint32_t* state, Sha256::Digest& out) noexcept {
  for (unsigned i = 0; i < 8; ++i) store_be32(out.data() + 4 * i, state[i]);
}

}  // namespace

bool Sha256::hardware_available() noexcept {
  return Family::runnable().size() > 1;
}

cpu::FamilyView Sha256::family() noexcept {
  return Family::view();
}

Sha256::Sha256(Engine engine) noexcept : engine_(pick_engine(engine)) {
  std::memcpy(state_, kInitialState, sizeof state_);
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
    engine_->kernels->compress(state_, buffer_, 1);
    buffered_ = 0;
  }
  if (const std::size_t blocks = size / 64; blocks != 0) {
    engine_->kernels->compress(state_, p, blocks);
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
    engine_->kernels->compress(state_, buffer_, 1);
    buffered_ = 0;
  }
  std::memset(buffer_ + buffered_, 0, 56 - buffered_);
  store_be32(buffer_ + 56, static_cast<std::uint32_t>(bits >> 32));
  store_be32(buffer_ + 60, static_cast<std::uint32_t>(bits));
  engine_->kernels->compress(state_, buffer_, 1);
  buffered_ = 0;

  Digest out;
  store_digest(state_, out);
  return out;
}

void sha256_pair(std::string_view a, std::string_view b, Sha256::Digest& out_a,
                 Sha256::Digest& out_b, Sha256::Engine engine) noexcept {
  const BlockKernels& e = *pick_engine(engine)->kernels;
  std::uint32_t state_a[8], state_b[8];
  std::memcpy(state_a, kInitialState, sizeof state_a);
  std::memcpy(state_b, kInitialState, sizeof state_b);
  PaddedMessage ma(a), mb(b);
  if (e.compress_pair != nullptr) {
    // In runs that lie in one piece in both messages: the full blocks in
    // place, then the padded tail.
    while (ma.left() != 0 && mb.left() != 0) {
      const std::size_t n = std::min(ma.run_blocks(), mb.run_blocks());
      e.compress_pair(state_a, ma.run(), state_b, mb.run(), n);
      ma.advance(n);
      mb.advance(n);
    }
  }
  compress_rest(e, state_a, ma);
  compress_rest(e, state_b, mb);
  store_digest(state_a, out_a);
  store_digest(state_b, out_b);
}

void to_hex(const Sha256::Digest& digest, char* out) noexcept {
  // Both characters of each byte value, so that a byte is one lookup.
  static constexpr auto kPairs = [] {
    constexpr char kDigits[] = "0123456789abcdef";
    std::array<char, 512> pairs{};
    for (std::size_t b = 0; b < 256; ++b) {
      pairs[2 * b] = kDigits[b >> 4];
      pairs[2 * b + 1] = kDigits[b & 0x0F];
    }
    return pairs;
  }();
  for (std::size_t i = 0; i < digest.size(); ++i) {
    std::memcpy(out + 2 * i, kPairs.data() + 2 * digest[i], 2);
  }
}

std::string to_hex(const Sha256::Digest& digest) {
  std::string out(2 * digest.size(), '\0');
  to_hex(digest, out.data());
  return out;
}

}  // namespace quorl
