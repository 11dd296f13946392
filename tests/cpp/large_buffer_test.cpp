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
#include "base/memory/thread_scratch.h"
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

// Released pages of a mapped buffer read as zeros; the partial pages at the
// range's ends, the bytes outside it and a heap buffer keep their bytes.
TEST_P(BufferSizes, ReleasedWholePagesOnly) {
  const std::size_t n = GetParam();
  if (n < 3000) GTEST_SKIP() << "no whole page inside";
  CharBuffer buffer = make_char_buffer(n);
  char* p = buffer.get();
  for (std::size_t i = 0; i < n; ++i) p[i] = pattern_at(i) | 1;  // never zero
  const std::size_t from = 1000, to = n - 1000;
  release_pages(p + from, to - from, n);
  const auto base = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t first = (base + from + 4095) & ~std::uintptr_t{4095};
  const std::uintptr_t last = (base + to) & ~std::uintptr_t{4095};
  const bool mapped = kMappedBufferBytes <= n;
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const bool released = mapped && base + i >= first && base + i < last;
    wrong += p[i] != (released ? 0 : (pattern_at(i) | 1));
  }
  EXPECT_EQ(wrong, 0u);
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

// A document whose raw text is too large to be kept past the call is
// written once with the raw text given back as it is copied: the same bytes
// as written from it whole, whether its records lie between long runs of
// copied text, in a root object out of order (read out of order, so kept
// whole) or in order, or in a text copied for its whitespace.
class WrittenOnce : public ::testing::TestWithParam<const char*> {};

TEST_P(WrittenOnce, SameBytesAsWrittenWhole) {
  const std::string run(kHugePageBytes + 4099, 'r');
  // Items out of order, reordered in place or, with a tagged integer
  // inside, recorded; now and then a long string between them.
  std::string items;
  for (int k = 0; items.size() < kParkedScratchMaxBytes / 4; ++k) {
    const std::string n = std::to_string(k);
    const std::string c = k % 2 ? n : R"({"$int":"-0)" + n + R"("})";
    items += R"({"b":)" + n + R"(,"a":{"d":")" + n + R"(","c":)" + c + "}},";
    if (k % 40000 == 0) items += "\"" + run + "\",";
  }
  items += "0";
  std::string text;
  for (const char c : std::string(GetParam()))
    text += c == 'I' ? items : c == 'R' ? "\"" + run + "\"" : std::string(1, c);
  ASSERT_GT(text.size(), kParkedScratchMaxBytes);
  DirectText whole, once;
  ASSERT_TRUE(whole.read(text, false));
  ASSERT_TRUE(once.read(text, false));
  std::string expected(whole.text_size(), '\0'), got(once.text_size(), '\0');
  whole.write_text(expected.data());
  once.write_text_once(got.data());
  EXPECT_TRUE(got == expected);
}

// I: the items, R: a long string; the rest is the text as written.
INSTANTIATE_TEST_SUITE_P(Shapes, WrittenOnce,
                         ::testing::Values("[I,I,I,I,I]", "[R,I,I,I,I,R]",
                                           R"({"z":[I,I,I,I],"a":R})", R"({"a":[I,I,I,I],"z":R})",
                                           R"( [ I , I , I , I , R ] )"));

}  // namespace
}  // namespace quorl
