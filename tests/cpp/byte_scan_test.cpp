// Every scanning kernel of every engine this CPU runs, and the public
// functions (inline first step + the engine in use), against a byte-by-byte
// model. Buffers are allocated to their exact size, so that ASan and
// valgrind see any read past the end; the bytes before the start of a run
// are stop bytes, so that a kernel looking behind its start is caught.
#include "json/lex/byte_scan.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "json/lex/special_index.h"

namespace quorl {
namespace {

enum class Search { Quote, Special, Whitespace, Digits };

struct SearchCase {
  Search search;
  const char* label;
  std::string_view fill;   // bytes that never end the run
  std::string_view stops;  // a sample of bytes that do
};

// The model: written from the contracts, not from the kernels.
bool model_stops(Search s, unsigned char c) {
  switch (s) {
    case Search::Quote:
      return c == 0x22 || c == 0x5C;
    case Search::Special:
      return c == 0x22 || c == 0x5C || c <= 0x1F;
    case Search::Whitespace:
      return c != 0x20 && c != 0x09 && c != 0x0A && c != 0x0D;
    case Search::Digits:
      return c < 0x30 || c > 0x39;
  }
  return true;
}

using namespace std::string_view_literals;
// Fill and stops hold the neighbours of the stop bytes (one bit apart, or
// with the high bit set) and bytes >= 0x80, which are never control bytes.
const SearchCase kSearches[] = {
    {Search::Quote, "Quote", "a#]\x00\x1f\x7f\x80\xa2\xdc\xff !["sv, "\"\\"sv},
    {Search::Special, "Special", "a#] \x7f\x80\x9f\xa0\xa2\xdc\xff\x21"sv,
     "\"\\\x00\x01\x1f\n\t"sv},
    {Search::Whitespace, "Whitespace", " \t\n\r"sv,
     "\x00\x0b\x0c\x08\x0e!\xa0\x89\x8a\x8d\xff{0"sv},
    {Search::Digits, "Digits", "0123456789"sv, "/:\xb0\xb9\x00\x80\xff.e-+ "sv},
};

struct Scanner {
  std::string name;
  ScanFunction functions[4];  // indexed by Search
};

std::vector<Scanner> all_scanners() {
  std::vector<Scanner> out{
      {"public", {&find_quote_or_backslash, &find_string_special, &skip_whitespace, &skip_digits}}};
  for (const ScanKernel& k : scan_kernels()) {
    out.push_back({std::string(k.name),
                   {k.kernels.find_quote_or_backslash, k.kernels.find_string_special,
                    k.kernels.skip_whitespace, k.kernels.skip_digits}});
  }
  return out;
}

std::size_t model(Search s, const std::vector<unsigned char>& buf, std::size_t i) {
  while (i < buf.size() && !model_stops(s, buf[i])) ++i;
  return i;
}

class ByteScanTest : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {
 protected:
  const Scanner& scanner() const {
    static const std::vector<Scanner> scanners = all_scanners();
    return scanners.at(std::get<0>(GetParam()));
  }
  const SearchCase& search() const { return kSearches[std::get<1>(GetParam())]; }
  ScanFunction fn() const { return scanner().functions[std::get<1>(GetParam())]; }

  // A buffer of exactly len bytes of fill, varied by seed.
  std::vector<unsigned char> filled(std::size_t len, std::size_t seed) const {
    std::vector<unsigned char> buf(len);
    const std::string_view fill = search().fill;
    for (std::size_t k = 0; k < len; ++k)
      buf[k] = static_cast<unsigned char>(fill[(k * 7 + seed) % fill.size()]);
    return buf;
  }
};

TEST_P(ByteScanTest, EveryStopByteAtEveryPosition) {
  for (std::size_t len = 0; len <= 140; ++len) {
    for (std::size_t pos = 0; pos <= len; ++pos) {  // pos == len: no stop at all
      for (unsigned char stop : search().stops) {
        std::vector<unsigned char> buf = filled(len, pos);
        if (pos < len) buf[pos] = stop;
        for (std::size_t start : {std::size_t{0}, pos / 2, pos}) {
          ASSERT_EQ(fn()(buf.data(), start, len), model(search().search, buf, start))
              << "len " << len << " stop " << int{stop} << " at " << pos << " start " << start;
        }
        if (pos == len) break;
      }
    }
  }
}

TEST_P(ByteScanTest, RunsFromEveryAlignmentWithStopsBehindTheStart) {
  const std::string_view stops = search().stops;
  for (std::size_t start = 0; start < 64; ++start) {
    for (std::size_t run = 0; run <= 100; ++run) {
      for (const bool ends_in_stop : {false, true}) {
        const std::size_t len = start + run + (ends_in_stop ? 1 : 0);
        std::vector<unsigned char> buf = filled(len, start + run);
        for (std::size_t k = 0; k < start; ++k)
          buf[k] = static_cast<unsigned char>(stops[k % stops.size()]);
        if (ends_in_stop) buf[len - 1] = static_cast<unsigned char>(stops[run % stops.size()]);
        ASSERT_EQ(fn()(buf.data(), start, len), start + run)
            << "start " << start << " run " << run << " ends in stop " << ends_in_stop;
      }
    }
  }
}

TEST_P(ByteScanTest, EachOfTheByteValuesAgreesWithTheModel) {
  for (int byte = 0; byte < 256; ++byte) {
    for (std::size_t pos : {0u, 5u, 15u, 16u, 31u, 40u, 63u, 64u, 77u}) {
      std::vector<unsigned char> buf = filled(80, byte);
      buf[pos] = static_cast<unsigned char>(byte);
      ASSERT_EQ(fn()(buf.data(), 0, buf.size()), model(search().search, buf, 0))
          << "byte " << byte << " at " << pos;
    }
  }
  EXPECT_EQ(fn()(nullptr, 0, 0), 0u);  // empty: nothing is read
}

// Whitespace written as a bit test, against its plain definition.
TEST(ByteClasses, EveryByteAgreesWithTheDefinition) {
  for (int byte = 0; byte < 256; ++byte) {
    const auto c = static_cast<unsigned char>(byte);
    EXPECT_EQ(is_json_whitespace(c), c == ' ' || c == '\t' || c == '\n' || c == '\r') << byte;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Engines, ByteScanTest,
    ::testing::Combine(::testing::Range<std::size_t>(0, all_scanners().size()),
                       ::testing::Range<std::size_t>(0, std::size(kSearches))),
    [](const ::testing::TestParamInfo<std::tuple<std::size_t, std::size_t>>& info) {
      return all_scanners().at(std::get<0>(info.param)).name + "_" +
             kSearches[std::get<1>(info.param)].label;
    });

// Test names for a parameter that is an index into scan_kernels(), or one
// past them for the public function.
std::string engine_name(const ::testing::TestParamInfo<std::size_t>& info) {
  return info.param < scan_kernels().size() ? std::string(scan_kernels()[info.param].name)
                                            : std::string("public");
}

// For such a parameter: that engine's kernel, or the public function.
template <class Function>
Function kernel_or_public(std::size_t param, Function ScanKernels::*kernel,
                          Function public_function) {
  return param < scan_kernels().size() ? scan_kernels()[param].kernels.*kernel : public_function;
}

// Every length from 0 to `upto`, then the longer ones given.
std::vector<std::size_t> lengths_to(std::size_t upto, std::initializer_list<std::size_t> longer) {
  std::vector<std::size_t> lengths;
  for (std::size_t len = 0; len <= upto; ++len) lengths.push_back(len);
  lengths.insert(lengths.end(), longer);
  return lengths;
}

// Newline counts, per engine and through the public function: buffers of
// exact size from empty to past every vector width, one all newlines (each
// byte lane at its most between gathers), and neighbours of '\n' as fill.
class NewlineCountTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(NewlineCountTest, AgreesWithCountingByteByByte) {
  const CountFunction count =
      kernel_or_public(GetParam(), &ScanKernels::count_newlines, CountFunction{&count_newlines});
  const std::string_view fill = "\x0b\x8a\x09\x1a\x00\xff\x0a\x2a\x4a\x0a\x0a"sv;
  for (std::size_t len : lengths_to(300, {4095, 16320, 16383, 65537})) {
    for (std::size_t seed : {std::size_t{0}, len % 11 + 1}) {
      std::vector<unsigned char> buf(len);
      std::size_t expected = 0;
      for (std::size_t k = 0; k < len; ++k) {
        buf[k] = static_cast<unsigned char>(fill[(k * 5 + seed + k / 64) % fill.size()]);
        expected += buf[k] == '\n' ? 1 : 0;
      }
      ASSERT_EQ(count(buf.data(), len), expected) << "len " << len << " seed " << seed;
    }
  }
  const std::vector<unsigned char> newlines(70000, '\n');
  EXPECT_EQ(count(newlines.data(), newlines.size()), newlines.size());
  EXPECT_EQ(count(nullptr, 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(Engines, NewlineCountTest,
                         ::testing::Range<std::size_t>(0, scan_kernels().size() + 1), engine_name);

// String-special marks, per engine and through the public function: every
// bit against the model, bits past the end clear, and the index built on
// them finding what the search finds from every start.
class SpecialMarksTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(SpecialMarksTest, EveryBitAgreesWithTheModel) {
  const MarkFunction mark = kernel_or_public(GetParam(), &ScanKernels::mark_string_specials,
                                             MarkFunction{&mark_string_specials});
  const std::string_view bytes = "a\"\\\x00\x1f\x20\x7f\x80\x9f\xa2\xdc\xff\n#"sv;
  for (std::size_t len : lengths_to(200, {4095, 4096, 70001})) {
    std::vector<unsigned char> buf(len);
    // Mostly plain runs of varied length, so that next() crosses words.
    for (std::size_t k = 0; k < len; ++k)
      buf[k] = (k * 2654435761u >> 7) % 61 == 0
                   ? static_cast<unsigned char>(bytes[k % bytes.size()])
                   : 'a';
    const std::size_t words = len / 64 + 1;
    std::vector<std::uint64_t> bits(words, ~std::uint64_t{0});
    mark(buf.data(), len, bits.data());
    for (std::size_t k = 0; k < (len + 63) / 64 * 64; ++k) {
      const bool marked = (bits[k / 64] >> (k % 64)) & 1;
      ASSERT_EQ(marked, k < len && model_stops(Search::Special, buf[k]))
          << "len " << len << " byte " << k;
    }
    if (GetParam() < scan_kernels().size()) continue;
    // Forward from every start, and back again (the window is marked anew).
    auto index = std::make_unique<json::SpecialIndex>();
    json::SpecialIndex::Cursor cursor(*index, buf.data(), len);
    for (std::size_t i = 0; i <= len; ++i)
      ASSERT_EQ(cursor.next(i), model(Search::Special, buf, i)) << "len " << len << " from " << i;
    for (std::size_t i : {std::size_t{0}, len / 2, len})
      ASSERT_EQ(cursor.next(i), model(Search::Special, buf, i))
          << "len " << len << " back to " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, SpecialMarksTest,
                         ::testing::Range<std::size_t>(0, scan_kernels().size() + 1), engine_name);

}  // namespace
}  // namespace quorl
