// The portable SHA-256 engine: plain C++ that runs on every CPU, and the
// fallback when the CPU has no SHA instructions the build knows how to use.
#include <bit>
#include <cstring>

#include "core/hash/sha256_engine.h"

namespace quorl::sha256_detail {
namespace {

inline std::uint32_t load_be32(const std::uint8_t* p) noexcept {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap32(v);
  return v;
}

// One round. The eight working variables are not shuffled between rounds;
// callers rotate the argument order instead, so only d and h are written.
[[gnu::always_inline]] inline void sha_round(std::uint32_t a, std::uint32_t b, std::uint32_t c,
                                             std::uint32_t& d, std::uint32_t e, std::uint32_t f,
                                             std::uint32_t g, std::uint32_t& h,
                                             std::uint32_t kw) noexcept {
  const std::uint32_t s1 = std::rotr(e, 6) ^ std::rotr(e, 11) ^ std::rotr(e, 25);
  const std::uint32_t ch = g ^ (e & (f ^ g));
  const std::uint32_t t1 = h + s1 + ch + kw;
  const std::uint32_t s0 = std::rotr(a, 2) ^ std::rotr(a, 13) ^ std::rotr(a, 22);
  const std::uint32_t maj = ((a ^ b) & (b ^ c)) ^ b;
  d += t1;
  h = t1 + s0 + maj;
}

// Schedule word t (t >= 16) in place in the 16-word ring.
[[gnu::always_inline]] inline std::uint32_t schedule(std::uint32_t* w, unsigned t) noexcept {
  const std::uint32_t w15 = w[(t - 15) & 15];
  const std::uint32_t w2 = w[(t - 2) & 15];
  const std::uint32_t s0 = std::rotr(w15, 7) ^ std::rotr(w15, 18) ^ (w15 >> 3);
  const std::uint32_t s1 = std::rotr(w2, 17) ^ std::rotr(w2, 19) ^ (w2 >> 10);
  w[t & 15] += s0 + w[(t - 7) & 15] + s1;
  return w[t & 15];
}

// Eight rounds starting at round t; t is a multiple of 8, so the argument
// rotation returns to its starting order after each call.
#define QUORL_SHA256_ROUNDS8(t, word)                                   \
  do {                                                                  \
    sha_round(a, b, c, d, e, f, g, h, kRound[(t) + 0] + word((t) + 0)); \
    sha_round(h, a, b, c, d, e, f, g, kRound[(t) + 1] + word((t) + 1)); \
    sha_round(g, h, a, b, c, d, e, f, kRound[(t) + 2] + word((t) + 2)); \
    sha_round(f, g, h, a, b, c, d, e, kRound[(t) + 3] + word((t) + 3)); \
    sha_round(e, f, g, h, a, b, c, d, kRound[(t) + 4] + word((t) + 4)); \
    sha_round(d, e, f, g, h, a, b, c, kRound[(t) + 5] + word((t) + 5)); \
    sha_round(c, d, e, f, g, h, a, b, kRound[(t) + 6] + word((t) + 6)); \
    sha_round(b, c, d, e, f, g, h, a, kRound[(t) + 7] + word((t) + 7)); \
  } while (0)

void compress_portable(std::uint32_t* state, const std::uint8_t* blocks,
                       std::size_t count) noexcept {
  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  std::uint32_t w[16];
  for (; count != 0; --count, blocks += 64) {
    for (unsigned i = 0; i < 16; ++i) w[i] = load_be32(blocks + 4 * i);
#define QUORL_SHA256_LOADED(t) w[(t)]
#define QUORL_SHA256_SCHEDULED(t) schedule(w, (t))
    QUORL_SHA256_ROUNDS8(0, QUORL_SHA256_LOADED);
    QUORL_SHA256_ROUNDS8(8, QUORL_SHA256_LOADED);
    // Written out in full so every ring index and constant is known at
    // compile time.
    QUORL_SHA256_ROUNDS8(16, QUORL_SHA256_SCHEDULED);
    QUORL_SHA256_ROUNDS8(24, QUORL_SHA256_SCHEDULED);
    QUORL_SHA256_ROUNDS8(32, QUORL_SHA256_SCHEDULED);
    QUORL_SHA256_ROUNDS8(40, QUORL_SHA256_SCHEDULED);
    QUORL_SHA256_ROUNDS8(48, QUORL_SHA256_SCHEDULED);
    QUORL_SHA256_ROUNDS8(56, QUORL_SHA256_SCHEDULED);
#undef QUORL_SHA256_LOADED
#undef QUORL_SHA256_SCHEDULED
    a = state[0] += a;
    b = state[1] += b;
    c = state[2] += c;
    d = state[3] += d;
    e = state[4] += e;
    f = state[5] += f;
    g = state[6] += g;
    h = state[7] += h;
  }
}

#undef QUORL_SHA256_ROUNDS8

}  // namespace

constinit const BlockKernels kPortableKernels = {&compress_portable, nullptr};

}  // namespace quorl::sha256_detail
