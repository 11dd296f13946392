#include "json/lex/utf8_validate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace quorl::json {

// Test names and failure messages show the kernel's name.
void PrintTo(const Utf8Kernel& kernel, std::ostream* out) {
  *out << kernel.name;
}

namespace {

// The reference: decode each sequence into its code point from the bit
// layout of UTF-8, then reject what the code point rules out (overlong
// forms, surrogates, beyond U+10FFFF). Offset of the first failing
// sequence, or kValidUtf8.
std::size_t model_find(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  static constexpr std::uint32_t kMinimum[5] = {0, 0, 0x80, 0x800, 0x10000};
  for (std::size_t i = 0; i < n;) {
    const unsigned b = p[i];
    std::size_t length;
    std::uint32_t cp;
    if ((b >> 7) == 0)
      length = 1, cp = b;
    else if ((b >> 5) == 0b110)
      length = 2, cp = b & 0x1F;
    else if ((b >> 4) == 0b1110)
      length = 3, cp = b & 0x0F;
    else if ((b >> 3) == 0b11110)
      length = 4, cp = b & 0x07;
    else
      return i;
    for (std::size_t k = 1; k < length; ++k) {
      if (i + k >= n || (p[i + k] >> 6) != 0b10) return i;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if (cp < kMinimum[length] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return i;
    i += length;
  }
  return kValidUtf8;
}

constexpr std::size_t kValid = kValidUtf8;

struct Case {
  std::string_view bytes;
  std::size_t offset;  // kValid or where the longest well-formed prefix ends
};

// Each edge of the table of well-formed sequences, from both sides.
const Case kCases[] = {
    {"", kValid},
    {"\x7F", kValid},
    {"\x80", 0},
    {"\xBF", 0},
    {"\xC0\x80", 0},
    {"\xC1\xBF", 0},
    {"\xC2\x80", kValid},
    {"\xDF\xBF", kValid},
    {"\xC2", 0},
    {"\xC2\x7F", 0},
    {"\xC2\xC0", 0},
    {"\xC2\x80\x80", 2},
    {"\xE0\xA0\x80", kValid},
    {"\xE0\x9F\xBF", 0},
    {"\xE0\xA0", 0},
    {"\xE1\x80\x80", kValid},
    {"\xEC\xBF\xBF", kValid},
    {"\xED\x9F\xBF", kValid},
    {"\xED\xA0\x80", 0},
    {"\xED\xBF\xBF", 0},
    {"\xEE\x80\x80", kValid},
    {"\xEF\xBF\xBF", kValid},
    {"\xEF\xBF\x7F", 0},
    {"\xEF\xBF\xC0", 0},
    {"\xF0\x90\x80\x80", kValid},
    {"\xF0\x8F\xBF\xBF", 0},
    {"\xF0\x90\x80", 0},
    {"\xF1\x80\x80\x80", kValid},
    {"\xF3\xBF\xBF\xBF", kValid},
    {"\xF4\x8F\xBF\xBF", kValid},
    {"\xF4\x90\x80\x80", 0},
    {"\xF4\x8F\xBF\x7F", 0},
    {"\xF5\x80\x80\x80", 0},
    {"\xF7\xBF\xBF\xBF", 0},
    {"\xF8\x88\x80\x80\x80", 0},
    {"\xFE", 0},
    {"\xFF", 0},
    {"a\xE2\x82\xAC"
     "b",
     kValid},
    {"a\xE2\x82"
     "b",
     1},
    {"\xE2\x82\xAC\x80", 3},
};

class Utf8KernelTest : public ::testing::TestWithParam<Utf8Kernel> {
 protected:
  std::size_t find(std::string_view text) const { return GetParam().kernels.find(text); }
};

TEST_P(Utf8KernelTest, TableCasesAtEveryPositionOfABlock) {
  // Each case after ASCII or after two-byte characters, so that it lands
  // on every offset of a 64-byte block and straddles block ends, followed
  // by nothing, ASCII, or more two-byte characters.
  const std::string_view fillers[] = {"a", "\xC3\xA9"};
  const std::string_view suffixes[] = {
      "", "z", "zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz",
      "\xC3\xA9\xC3\xA9\xC3\xA9"};
  for (const Case& c : kCases) {
    for (std::string_view filler : fillers) {
      std::string prefix;
      for (std::size_t count = 0; count <= 140 / filler.size(); ++count, prefix += filler) {
        for (std::string_view suffix : suffixes) {
          const std::string text = prefix + std::string(c.bytes) + std::string(suffix);
          const std::size_t expected = c.offset != kValid ? prefix.size() + c.offset
                                       : model_find(suffix) == kValid
                                           ? kValid
                                           : prefix.size() + c.bytes.size() + model_find(suffix);
          ASSERT_EQ(find(text), expected) << ::testing::PrintToString(text);
          ASSERT_EQ(model_find(text), expected);  // the model agrees with the table
        }
      }
    }
  }
}

TEST_P(Utf8KernelTest, EveryLeadAndSecondByteMatchesTheModel) {
  for (std::size_t pad : {0u, 61u, 62u, 63u, 64u, 95u}) {
    for (unsigned first = 0; first < 256; ++first) {
      for (unsigned second = 0; second < 256; ++second) {
        for (std::string_view rest : {"", "\x80\x80",
                                      "\xBF"
                                      "a"}) {
          std::string text(pad, 'x');
          text += static_cast<char>(first);
          text += static_cast<char>(second);
          text += rest;
          ASSERT_EQ(find(text), model_find(text)) << ::testing::PrintToString(text);
        }
      }
    }
  }
}

// Random text of well-formed characters of every length, then mutated.
std::string random_text(std::mt19937_64& rng, std::size_t chars) {
  static constexpr std::uint32_t kRanges[][2] = {
      {0x00, 0x7F}, {0x80, 0x7FF}, {0x800, 0xD7FF}, {0xE000, 0xFFFF}, {0x10000, 0x10FFFF}};
  std::string out;
  std::uniform_int_distribution<int> kind(0, 9);
  for (std::size_t c = 0; c < chars; ++c) {
    const int k = kind(rng);
    const auto& r = kRanges[k < 5 ? 0 : k - 5];  // half ASCII
    const std::uint32_t cp = std::uniform_int_distribution<std::uint32_t>(r[0], r[1])(rng);
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

TEST_P(Utf8KernelTest, RandomAndMutatedTextMatchesTheModel) {
  std::mt19937_64 rng(20261207);
  std::string buffer;
  for (int round = 0; round < 6000; ++round) {
    const std::size_t chars = round % 10 == 0 ? rng() % 3000 : rng() % 200;
    std::string text = random_text(rng, chars);
    ASSERT_EQ(find(text), kValid);
    if (!text.empty()) {
      switch (rng() % 4) {
        case 0:  // one byte replaced by any value
          text[rng() % text.size()] = static_cast<char>(rng());
          break;
        case 1:  // cut anywhere
          text.resize(rng() % text.size());
          break;
        case 2:  // a byte inserted
          text.insert(text.begin() + static_cast<std::ptrdiff_t>(rng() % text.size()),
                      static_cast<char>(rng()));
          break;
        default:  // a fault placed just before or after a 16/32/64-byte edge
          if (text.size() > 70) {
            const std::size_t edge = (rng() % (text.size() / 16) + 1) * 16;
            text[std::min(text.size() - 1, edge - 2 + rng() % 4)] =
                static_cast<char>(0x80 | (rng() % 0x80));
          }
      }
    }
    // Every alignment of the start in memory.
    const std::size_t shift = rng() % 64;
    buffer.assign(shift, 'q');
    buffer += text;
    const std::string_view view = std::string_view(buffer).substr(shift);
    ASSERT_EQ(find(view), model_find(view)) << ::testing::PrintToString(text);
  }
}

std::string kernel_name(const ::testing::TestParamInfo<Utf8Kernel>& info) {
  std::string name(info.param.name);
  for (char& c : name) {
    if (c == '.') c = '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Kernels, Utf8KernelTest,
                         ::testing::ValuesIn(utf8_kernels().begin(), utf8_kernels().end()),
                         kernel_name);

TEST(Utf8Kernels, PortableFirstAndTheEntryPointAgrees) {
  const auto kernels = utf8_kernels();
  ASSERT_FALSE(kernels.empty());
  EXPECT_EQ(kernels.front().name, "portable");
  ::testing::Test::RecordProperty("utf8_kernel", std::string(utf8_family().chosen.name));
  for (std::string_view text : {std::string_view("ok\xC3\xA9"), std::string_view("ok\xC3")}) {
    for (const Utf8Kernel& kernel : kernels)
      EXPECT_EQ(find_invalid_utf8(text), kernel.kernels.find(text));
  }
}

}  // namespace
}  // namespace quorl::json
