// Working buffers of any size hold what is written to them, and documents
// large enough to take the huge-page buffers come out exactly as small ones.
#include "base/memory/large_buffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/memory/growable_array.h"
#include "core/canonical_text.h"
#include "core/direct/direct_path.h"
#include "core/exact/input_gate.h"

namespace quorl {
namespace {

// A byte pattern that a zeroed, shifted or truncated buffer cannot match.
char pattern_at(std::size_t i) {
  return static_cast<char>((i * 131 + i / 4099) & 0xFF);
}

void fill(char* p, std::size_t n) {
  for (std::size_t i = 0; i < n; i += 4093) p[i] = pattern_at(i);
  p[n - 1] = pattern_at(n - 1);
}

bool holds_pattern(const char* p, std::size_t n) {
  for (std::size_t i = 0; i < n; i += 4093) {
    if (p[i] != pattern_at(i)) return false;
  }
  return p[n - 1] == pattern_at(n - 1);
}

class BufferSizes : public ::testing::TestWithParam<std::size_t> {};

TEST_P(BufferSizes, EveryByteIsWritableAndKept) {
  const std::size_t n = GetParam();
  CharBuffer buffer = make_char_buffer(n);
  ASSERT_NE(buffer.get(), nullptr);
  fill(buffer.get(), n);
  EXPECT_TRUE(holds_pattern(buffer.get(), n));
#if defined(__linux__)
  if (n >= kLargeBufferBytes) {
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer.get()) % kHugePageBytes, 0u);
  }
#endif
}

INSTANTIATE_TEST_SUITE_P(AroundTheThreshold, BufferSizes,
                         ::testing::Values(1, 4096, kMappedBufferBytes - 1, kMappedBufferBytes,
                                           kMappedBufferBytes + 1, kLargeBufferBytes - 1,
                                           kLargeBufferBytes, kLargeBufferBytes + 1,
                                           kLargeBufferBytes + kHugePageBytes + 17,
                                           std::size_t{40} << 20));

// Growth by copying below the threshold, then by remapping above it.
TEST(LargeBuffer, GrowableArrayKeepsItsElementsAcrossTheThreshold) {
  GrowableArray<std::uint64_t> v;
  const std::size_t count = 3 * kLargeBufferBytes / sizeof(std::uint64_t);
  for (std::size_t i = 0; i < count; ++i) v.push_back(i * 2654435761u);
  ASSERT_EQ(v.size(), count);
  for (std::size_t i = 0; i < count; i += 997) ASSERT_EQ(v[i], i * 2654435761u) << i;
  EXPECT_EQ(v.back(), (count - 1) * 2654435761u);
  v.shrink_to(5);
  EXPECT_EQ(v.emplace_back(), 0u);
  EXPECT_EQ(v[4], std::uint64_t{4} * 2654435761u);
}

// A small first block, then the whole room at its first growth, elements kept.
TEST(LargeBuffer, GrowableArrayInStepsTakesItsRoomAtTheFirstGrowth) {
  GrowableArray<std::uint32_t> v;
  v.reserve_in_steps(4, 1000);
  EXPECT_EQ(v.capacity(), 4u);
  for (std::uint32_t i = 0; i < 5; ++i) v.push_back(i * 7);
  EXPECT_EQ(v.capacity(), 1000u);
  for (std::uint32_t i = 0; i < 5; ++i) EXPECT_EQ(v[i], i * 7);
}

std::string canonical_bytes(std::string_view text) {
  Result<std::string> r = py_canonical_bytes_from_json(text);
  return r.ok() ? r.value() : "ERROR: " + r.error().message;
}

// Records whose keys come out reordered, with a tagged integer each: every
// record buffer of the direct path passes the threshold.
TEST(LargeBuffer, LargeDocumentsComeOutExactly) {
  std::string text = "[";
  std::string expected = "[";
  for (int k = 0; text.size() < 2 * kLargeBufferBytes; ++k) {
    const std::string n = std::to_string(k);
    if (k != 0) {
      text += ",";
      expected += ",";
    }
    text += R"({"zeta":")" + n + R"(","id":{"$int":"-00)" + n + R"("},"a":[)" + n + "]}";
    expected += R"({"a":[)" + n + R"(],"id":-)" + n + R"(,"zeta":")" + n + R"("})";
  }
  text += "]";
  expected += "]";
  // "-000" canonicalises to 0, without the sign.
  const std::string zero_fixed = std::string(R"("id":-0,)");
  const std::size_t at = expected.find(zero_fixed);
  ASSERT_NE(at, std::string::npos);
  expected.replace(at, zero_fixed.size(), R"("id":0,)");
  EXPECT_TRUE(canonical_bytes(text) == expected);
}

// Escapes that grow threefold: the raw text outgrows its first buffer, and
// the larger one takes the mapped path, whose copy must keep every byte.
TEST(LargeBuffer, RawTextGrowingPastTheThresholdKeepsItsBytes) {
  const std::size_t count = kLargeBufferBytes / 4;
  std::string text = "\"";
  std::string expected = "\"";
  for (std::size_t k = 0; k < count; ++k) {
    text += k % 2 ? "\\n" : "x\\t";
    expected += k % 2 ? "\\u000a" : "x\\u0009";
  }
  text += "\"";
  expected += "\"";
  EXPECT_TRUE(canonical_bytes(text) == expected);

  // And again through one scratch, which keeps the grown buffer.
  DirectText scratch;
  for (int round = 0; round < 2; ++round) {
    Result<CanonicalText> got = canonical_text_from_json(text, scratch);
    ASSERT_TRUE(got.ok());
    std::string out(got.value().size(), '\0');
    got.value().write_to(out.data());
    EXPECT_TRUE(out == expected) << round;
  }
  EXPECT_GE(scratch.held_bytes(), expected.size());
}

}  // namespace
}  // namespace quorl
