#include "core/hash/sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#if defined(__aarch64__) && defined(__linux__)
#include <sys/auxv.h>

#include <cstdlib>
#endif

#if defined(QUORL_TEST_HIDE_SHA2_HOOK) && defined(__aarch64__) && defined(__linux__)
// No CPU model of qemu 7.2 lacks the SHA-2 instructions, so tools/test-aarch64
// builds with this hook and links with --wrap=getauxval: a run with
// QUORL_TEST_HIDE_SHA2 set sees a HWCAP without them, the core's probe and
// this file's model alike, as on such a CPU. Test builds only.
extern "C" unsigned long __real_getauxval(unsigned long type);
extern "C" unsigned long __wrap_getauxval(unsigned long type) {
  unsigned long value = __real_getauxval(type);
  if (type == AT_HWCAP && std::getenv("QUORL_TEST_HIDE_SHA2") != nullptr) value &= ~HWCAP_SHA2;
  return value;
}
#endif

namespace quorl {
namespace {

#include "sha256_vectors.inc"

using Engine = Sha256::Engine;

constexpr std::size_t kMaxLength = std::size(kLengthDigests) - 1;

// The message of the given length that kLengthDigests was computed over.
std::string pattern_message(std::size_t length) {
  std::string out(length, '\0');
  for (std::size_t i = 0; i < length; ++i) {
    out[i] = static_cast<char>((i * kPatternMul + kPatternAdd) & 0xFF);
  }
  return out;
}

std::string hash_hex(Engine engine, std::string_view message) {
  Sha256 h(engine);
  h.feed(message);
  return to_hex(h.finish());
}

// Feeds message in pieces that end at each of the given cut offsets (ascending,
// at most message.size()), then the rest.
std::string hash_hex_cut(Engine engine, std::string_view message,
                         std::initializer_list<std::size_t> cuts) {
  Sha256 h(engine);
  std::size_t at = 0;
  for (std::size_t cut : cuts) {
    h.feed(message.substr(at, cut - at));
    at = cut;
  }
  h.feed(message.substr(at));
  return to_hex(h.finish());
}

// The engine Hardware should pick in this process, found without the code under
// test: the compiler's CPU model on x86 (g++; clang 14 lacks "sha"), the
// kernel's HWCAP bits on aarch64 Linux; nullopt where there is no such model.
std::optional<std::string_view> expected_auto_engine() {
#if (defined(__x86_64__) || defined(__i386__)) && !defined(__clang__)
  __builtin_cpu_init();
  const bool sha_ni = __builtin_cpu_supports("sha") && __builtin_cpu_supports("sse4.1") &&
                      __builtin_cpu_supports("ssse3");
  return sha_ni ? "x86-sha-ni" : "portable";
#elif defined(__aarch64__) && defined(__linux__) && defined(HWCAP_SHA2) && \
    (!defined(__clang__) || defined(__ARM_FEATURE_SHA2))
  return (getauxval(AT_HWCAP) & HWCAP_SHA2) != 0 ? "armv8-sha2" : "portable";
#elif !defined(__x86_64__) && !defined(__i386__) && !defined(__aarch64__)
  return "portable";  // no engine but the portable one is built for this target
#else
  return std::nullopt;
#endif
}

class Sha256EngineTest : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    if (GetParam() == Engine::Hardware && !Sha256::hardware_available()) {
      GTEST_SKIP() << "no SHA extensions on this CPU or target; Engine::Hardware would only "
                      "rerun the portable code";
    }
  }
};

// Example messages and digests published with FIPS 180-2/180-4 (NIST CSRC
// "Examples with intermediate values"), also confirmed with hashlib.
struct PublishedVector {
  const char* name;
  std::string_view message;
  const char* digest;
};

const PublishedVector kPublished[] = {
    {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"896 bits",
     "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnop"
     "qrsmnopqrstnopqrstu",
     "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
};

TEST_P(Sha256EngineTest, PublishedVectorsInOneFeed) {
  for (const auto& v : kPublished) {
    EXPECT_EQ(hash_hex(GetParam(), v.message), v.digest) << v.name;
  }
}

TEST_P(Sha256EngineTest, PublishedVectorsByteByByte) {
  for (const auto& v : kPublished) {
    Sha256 h(GetParam());
    for (char c : v.message) h.feed(&c, 1);
    EXPECT_EQ(to_hex(h.finish()), v.digest) << v.name;
  }
}

TEST_P(Sha256EngineTest, MillionAInChunks) {
  // Published digest of 1,000,000 repetitions of 'a'.
  constexpr const char* kExpected =
      "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";
  const std::string message(1000000, 'a');
  for (std::size_t chunk : {1u, 63u, 64u, 65u, 1000u, 1000000u}) {
    Sha256 h(GetParam());
    for (std::size_t at = 0; at < message.size(); at += chunk) {
      h.feed(std::string_view(message).substr(at, chunk));
    }
    EXPECT_EQ(to_hex(h.finish()), kExpected) << "chunk size " << chunk;
  }
}

TEST_P(Sha256EngineTest, EveryLengthInOneFeed) {
  for (std::size_t n = 0; n <= kMaxLength; ++n) {
    EXPECT_EQ(hash_hex(GetParam(), pattern_message(n)), kLengthDigests[n]) << "length " << n;
  }
}

TEST_P(Sha256EngineTest, EveryLengthSplitInTwoAtEveryOffset) {
  for (std::size_t n = 0; n <= kMaxLength; ++n) {
    const std::string message = pattern_message(n);
    for (std::size_t cut = 0; cut <= n; ++cut) {
      ASSERT_EQ(hash_hex_cut(GetParam(), message, {cut}), kLengthDigests[n])
          << "length " << n << ", first feed " << cut << " bytes";
    }
  }
}

TEST_P(Sha256EngineTest, EveryLengthSplitInThree) {
  // Every first cut; the second cut just after it, or so that the middle
  // piece is a block give or take one byte, or at the end.
  for (std::size_t n = 0; n <= kMaxLength; ++n) {
    const std::string message = pattern_message(n);
    for (std::size_t first = 0; first <= n; ++first) {
      for (std::size_t middle : {0u, 1u, 63u, 64u, 65u, 129u}) {
        const std::size_t second = std::min(first + middle, n);
        ASSERT_EQ(hash_hex_cut(GetParam(), message, {first, second}), kLengthDigests[n])
            << "length " << n << ", cuts at " << first << " and " << second;
      }
    }
  }
}

TEST_P(Sha256EngineTest, EmptyFeedsWithNullPointerChangeNothing) {
  Sha256 h(GetParam());
  h.feed(nullptr, 0);
  h.feed(std::string_view("ab"));
  h.feed(nullptr, 0);
  h.feed(std::string_view());
  h.feed("c", 1);
  h.feed(nullptr, 0);
  EXPECT_EQ(to_hex(h.finish()), kPublished[1].digest);
}

// sha256_pair against the vectors (first message) and the portable
// single-stream digest (second message, other bytes, at an odd address) for
// every pair of lengths up to 200: every place either message's padding can
// fall, and runs of full blocks that end at different points in the two.
TEST_P(Sha256EngineTest, PairMatchesSingleStreamForEveryPairOfLengths) {
  constexpr std::size_t kUpTo = 200;
  std::string other(kUpTo + 1, '\0');
  for (std::size_t i = 0; i < other.size(); ++i) other[i] = static_cast<char>(i * 7 + 100);
  std::vector<Sha256::Digest> other_digests;
  for (std::size_t n = 0; n <= kUpTo; ++n) {
    Sha256 h(Engine::Portable);
    h.feed(std::string_view(other).substr(1, n));
    other_digests.push_back(h.finish());
  }
  for (std::size_t na = 0; na <= kUpTo; ++na) {
    const std::string a = pattern_message(na);
    for (std::size_t nb = 0; nb <= kUpTo; ++nb) {
      Sha256::Digest da, db;
      sha256_pair(a, std::string_view(other).substr(1, nb), da, db, GetParam());
      ASSERT_EQ(to_hex(da), kLengthDigests[na]) << "lengths " << na << " and " << nb;
      ASSERT_EQ(db, other_digests[nb]) << "lengths " << na << " and " << nb;
    }
  }
}

// Very unequal lengths, both ways round: most of the longer message is
// compressed alone after the shorter one ends.
TEST_P(Sha256EngineTest, PairOfVeryUnequalLengths) {
  const std::string big(1000000, 'a');
  constexpr const char* kMillionA =
      "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";
  for (std::size_t n : {0u, 3u, 55u, 56u, 64u, 119u, 120u, 300u}) {
    const std::string small = pattern_message(n);
    Sha256::Digest d1, d2;
    sha256_pair(small, big, d1, d2, GetParam());
    EXPECT_EQ(to_hex(d1), kLengthDigests[n]) << n;
    EXPECT_EQ(to_hex(d2), kMillionA) << n;
    sha256_pair(big, small, d1, d2, GetParam());
    EXPECT_EQ(to_hex(d1), kMillionA) << n;
    EXPECT_EQ(to_hex(d2), kLengthDigests[n]) << n;
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, Sha256EngineTest,
                         ::testing::Values(Engine::Portable, Engine::Hardware),
                         [](const ::testing::TestParamInfo<Engine>& info) {
                           return info.param == Engine::Portable ? "Portable" : "Hardware";
                         });

TEST(Sha256, EachEngineRequestRunsTheEngineTheCpuAllows) {
  // Kept in the XML report, so a run on another CPU (or under an emulator)
  // says which engine it exercised; EngineMatrix prints it and checks which
  // engine Auto picks under QUORL_ENGINE.
  RecordProperty("sha256_engine", std::string(Sha256().engine_name()));

  const std::optional<std::string_view> hardware = expected_auto_engine();
  if (!hardware) GTEST_SKIP() << "no independent view of this CPU's SHA instructions";
  struct Row {
    Engine requested;
    const char* label;
    std::string_view expected;
  };
  const Row kRows[] = {
      {Engine::Portable, "Portable", "portable"},
      {Engine::Hardware, "Hardware", *hardware},
  };
  for (const auto& row : kRows) {
    EXPECT_EQ(Sha256(row.requested).engine_name(), row.expected) << row.label;
  }
  EXPECT_EQ(Sha256::hardware_available(), *hardware != "portable");
}

TEST(Sha256, AutoMatchesPortableOnLargeBufferInOddPieces) {
  std::mt19937 rng(20240611);
  std::vector<std::uint8_t> data((1 << 20) + 37);
  for (auto& byte : data) byte = static_cast<std::uint8_t>(rng());

  Sha256 portable(Engine::Portable);
  portable.feed(data.data(), data.size());
  const std::string expected = to_hex(portable.finish());

  // Piece sizes that leave every remainder mod 64 behind at some point and
  // hand multi-block runs over at unaligned addresses.
  constexpr std::size_t kPieces[] = {1, 3, 61, 64, 65, 127, 1000, 4097, 12345, 70001};
  for (Engine engine : {Engine::Auto, Engine::Portable}) {
    Sha256 h(engine);
    std::size_t at = 0;
    for (std::size_t i = 0; at < data.size(); ++i) {
      const std::size_t size = std::min(kPieces[i % std::size(kPieces)], data.size() - at);
      h.feed(data.data() + at, size);
      at += size;
    }
    EXPECT_EQ(to_hex(h.finish()), expected)
        << (engine == Engine::Auto ? "Auto" : "Portable") << " in pieces";
  }

  Sha256 automatic(Engine::Auto);
  automatic.feed(data.data(), data.size());
  EXPECT_EQ(to_hex(automatic.finish()), expected) << "Auto in one feed";
}

TEST(Sha256, ToHexWritesEveryNibbleLowercaseHighFirst) {
  struct Row {
    std::uint8_t first_bytes[8];
    const char* expected_prefix;
  };
  const Row kRows[] = {
      {{0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef}, "0123456789abcdef"},
      {{0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10}, "fedcba9876543210"},
      {{0x0f, 0xf0, 0xa5, 0x5a, 0x00, 0xff, 0x10, 0x01}, "0ff0a55a00ff1001"},
  };
  for (const auto& row : kRows) {
    Sha256::Digest digest{};
    std::copy(std::begin(row.first_bytes), std::end(row.first_bytes), digest.begin());
    digest.back() = 0xc3;
    const std::string hex = to_hex(digest);
    EXPECT_EQ(hex, std::string(row.expected_prefix) + std::string(46, '0') + "c3");
  }
}

}  // namespace
}  // namespace quorl
