// SHA-256 (FIPS 180-4). Two block functions share the streaming front end:
// a portable one and one built on the x86 SHA extensions. Each object picks
// its block function once, in the constructor.
#include "core/sha256.h"

#include <bit>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#define QUORL_SHA256_X86 1
#include <cpuid.h>
#include <immintrin.h>
#else
#define QUORL_SHA256_X86 0
#endif

namespace quorl {
namespace {

constexpr std::uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

alignas(64) constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline std::uint32_t load_be32(const std::uint8_t* p) noexcept {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap32(v);
  return v;
}

inline void store_be32(std::uint8_t* p, std::uint32_t v) noexcept {
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap32(v);
  std::memcpy(p, &v, 4);
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

#if QUORL_SHA256_X86

// The SHA extensions keep the state as two vectors, ABEF and CDGH, and take
// the message words in little-endian lanes after a byte swap.
[[gnu::target("sha,sse4.1,ssse3")]] void compress_sha_ni(std::uint32_t* state,
                                                         const std::uint8_t* blocks,
                                                         std::size_t count) noexcept {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);

  __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
  dcba = _mm_shuffle_epi32(dcba, 0xB1);              // CDAB
  hgfe = _mm_shuffle_epi32(hgfe, 0x1B);              // EFGH
  __m128i abef = _mm_alignr_epi8(dcba, hgfe, 8);     // ABEF
  __m128i cdgh = _mm_blend_epi16(hgfe, dcba, 0xF0);  // CDGH

  const __m128i* k = reinterpret_cast<const __m128i*>(kRound);

  // Four rounds with message words m (already scheduled).
#define QUORL_SHA_ROUNDS4(q, m)                               \
  do {                                                        \
    __m128i kw = _mm_add_epi32((m), _mm_load_si128(k + (q))); \
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, kw);             \
    kw = _mm_shuffle_epi32(kw, 0x0E);                         \
    abef = _mm_sha256rnds2_epu32(abef, cdgh, kw);             \
  } while (0)

  // W[t..t+3] from W[t-16..t-13] (m0, replaced), W[t-12..] (m1),
  // W[t-8..] (m2) and W[t-4..] (m3).
#define QUORL_SHA_SCHEDULE(m0, m1, m2, m3) \
  m0 = _mm_sha256msg2_epu32(               \
      _mm_add_epi32(_mm_sha256msg1_epu32(m0, m1), _mm_alignr_epi8(m3, m2, 4)), m3)

  for (; count != 0; --count, blocks += 64) {
    const __m128i abef_in = abef;
    const __m128i cdgh_in = cdgh;
    const __m128i* in = reinterpret_cast<const __m128i*>(blocks);
    __m128i m0 = _mm_shuffle_epi8(_mm_loadu_si128(in + 0), byte_swap);
    __m128i m1 = _mm_shuffle_epi8(_mm_loadu_si128(in + 1), byte_swap);
    __m128i m2 = _mm_shuffle_epi8(_mm_loadu_si128(in + 2), byte_swap);
    __m128i m3 = _mm_shuffle_epi8(_mm_loadu_si128(in + 3), byte_swap);

    QUORL_SHA_ROUNDS4(0, m0);
    QUORL_SHA_ROUNDS4(1, m1);
    QUORL_SHA_ROUNDS4(2, m2);
    QUORL_SHA_ROUNDS4(3, m3);
    for (int q = 4; q < 16; q += 4) {
      QUORL_SHA_SCHEDULE(m0, m1, m2, m3);
      QUORL_SHA_ROUNDS4(q + 0, m0);
      QUORL_SHA_SCHEDULE(m1, m2, m3, m0);
      QUORL_SHA_ROUNDS4(q + 1, m1);
      QUORL_SHA_SCHEDULE(m2, m3, m0, m1);
      QUORL_SHA_ROUNDS4(q + 2, m2);
      QUORL_SHA_SCHEDULE(m3, m0, m1, m2);
      QUORL_SHA_ROUNDS4(q + 3, m3);
    }

    abef = _mm_add_epi32(abef, abef_in);
    cdgh = _mm_add_epi32(cdgh, cdgh_in);
  }
#undef QUORL_SHA_ROUNDS4
#undef QUORL_SHA_SCHEDULE

  // Back to A..H order.
  __m128i feba = _mm_shuffle_epi32(abef, 0x1B);  // FEBA
  __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);  // DCHG
  dcba = _mm_blend_epi16(feba, dchg, 0xF0);      // DCBA
  hgfe = _mm_alignr_epi8(dchg, feba, 8);         // HGFE
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), dcba);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), hgfe);
}

#endif  // QUORL_SHA256_X86

}  // namespace

bool Sha256::hardware_available() noexcept {
#if QUORL_SHA256_X86
  // Asked of the CPU directly (every compiler's builtin names the features
  // differently): SHA is leaf 7 EBX bit 29; SSSE3 and SSE4.1 are leaf 1 ECX
  // bits 9 and 19. Computed once, thread-safely, and constant afterwards.
  static const bool available = [] {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
    const bool ssse3 = (ecx & (1u << 9)) != 0;
    const bool sse41 = (ecx & (1u << 19)) != 0;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
    const bool sha = (ebx & (1u << 29)) != 0;
    return sha && ssse3 && sse41;
  }();
  return available;
#else
  return false;
#endif
}

Sha256::Sha256(Engine engine) noexcept : compress_(&compress_portable) {
  std::memcpy(state_, kInitialState, sizeof state_);
#if QUORL_SHA256_X86
  if (engine != Engine::Portable && hardware_available()) compress_ = &compress_sha_ni;
#else
  (void)engine;
#endif
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
    compress_(state_, buffer_, 1);
    buffered_ = 0;
  }
  if (const std::size_t blocks = size / 64; blocks != 0) {
    compress_(state_, p, blocks);
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
    compress_(state_, buffer_, 1);
    buffered_ = 0;
  }
  std::memset(buffer_ + buffered_, 0, 56 - buffered_);
  store_be32(buffer_ + 56, static_cast<std::uint32_t>(bits >> 32));
  store_be32(buffer_ + 60, static_cast<std::uint32_t>(bits));
  compress_(state_, buffer_, 1);
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
