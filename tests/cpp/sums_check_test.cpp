#include "core/batch/sums_check.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/batch/record_batch.h"
#include "core/batch/sums_line.h"

namespace quorl {
namespace {

const std::string kHex(64, 'a');
const std::string kHexUpper =
    "ABCDEF0123456789"
    "abcdef0123456789"
    "ABCDEF0123456789"
    "0123456789abcdef";

struct LineCase {
  const char* name;
  std::string line;
  bool ok;
  bool tagged = false;
  std::string_view profile_tag = {};
  std::string_view name_written = {};
  bool escaped = false;
  std::size_t record_line = 0;
  // gtest would otherwise print the struct's bytes, padding included.
  friend void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }
};

class SumsLineTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(SumsLineTest, ReadsBothLayouts) {
  const LineCase& c = GetParam();
  SumsLine got;
  ASSERT_EQ(parse_sums_line(c.line, got), c.ok);
  if (!c.ok) return;
  EXPECT_EQ(got.tagged, c.tagged);
  EXPECT_EQ(got.profile_tag, c.profile_tag);
  EXPECT_EQ(got.name, c.name_written);
  EXPECT_EQ(got.escaped, c.escaped);
  EXPECT_EQ(got.record_line, c.record_line);
  EXPECT_EQ(got.hex.size(), 64u);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, SumsLineTest,
    ::testing::Values(
        LineCase{"plain_document", kHex + "  a.json", true, false, {}, "a.json"},
        LineCase{"binary_mark", kHex + " *a.json", true, false, {}, "a.json"},
        LineCase{"plain_record", kHex + "  r.jsonl:12", true, false, {}, "r.jsonl", false, 12},
        LineCase{"crlf", kHex + "  r.jsonl:3\r", true, false, {}, "r.jsonl", false, 3},
        LineCase{"upper_hex", kHexUpper + "  x", true, false, {}, "x"},
        LineCase{"line_zero_is_a_name", kHex + "  r.jsonl:0", true, false, {}, "r.jsonl:0"},
        LineCase{"twenty_digits_is_a_name",
                 kHex + "  r:12345678901234567890",
                 true,
                 false,
                 {},
                 "r:12345678901234567890"},
        LineCase{"colon_alone_is_a_name", kHex + "  :5", true, false, {}, ":5"},
        LineCase{"escaped", "\\" + kHex + "  a\\nb:2", true, false, {}, "a\\nb", true, 2},
        LineCase{"tagged_document", "QUORL-RUN (a.json) = " + kHex, true, true, "RUN", "a.json"},
        LineCase{"tagged_record", "QUORL-ARTIFACT-BYTE (r.jsonl):7 = " + kHex, true, true,
                 "ARTIFACT-BYTE", "r.jsonl", false, 7},
        LineCase{"tagged_name_with_brackets", "QUORL-RUN (x) = y):3) = " + kHex, true, true, "RUN",
                 "x) = y):3"},
        LineCase{"tagged_record_of_bracketed_name", "QUORL-RUN (a)):3 = " + kHex, true, true, "RUN",
                 "a)", false, 3},
        LineCase{"tagged_escaped", "\\QUORL-RUN (a\\\\b) = " + kHex, true, true, "RUN", "a\\\\b",
                 true},
        LineCase{"short_hex", kHex.substr(1) + "  a", false},
        LineCase{"bad_hex", "g" + kHex.substr(1) + "  a", false},
        LineCase{"one_space", kHex + " a", false}, LineCase{"no_name", kHex + "  ", false},
        LineCase{"tagged_no_name", "QUORL-RUN () = " + kHex, false},
        LineCase{"tagged_no_bracket", "QUORL-RUN a.json = " + kHex, false},
        LineCase{"tagged_record_line_zero", "QUORL-RUN (a):0 = " + kHex, false},
        LineCase{"tagged_no_profile", "QUORL- (a) = " + kHex, false}, LineCase{"empty", "", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SumsName, EscapesRoundTrip) {
  const std::string names[] = {"plain", "back\\slash", "new\nline", "cr\r", "\\n literal"};
  for (const std::string& name : names) {
    std::string escaped, back;
    append_escaped_sums_name(name, escaped);
    EXPECT_EQ(sums_name_needs_escape(name), escaped != name) << name;
    ASSERT_TRUE(unescape_sums_name(escaped, back));
    EXPECT_EQ(back, name);
  }
  std::string out;
  EXPECT_FALSE(unescape_sums_name("a\\tb", out));
  EXPECT_FALSE(unescape_sums_name("end\\", out));
}

// What a check's sink saw, one line per entry.
class Collecting final : public CheckSink {
 public:
  std::vector<std::string> seen;
  void matched(std::size_t line) override { seen.push_back(std::to_string(line) + " ok"); }
  void mismatched(std::size_t line) override { seen.push_back(std::to_string(line) + " bad"); }
  void refused(std::size_t line, QuorlError error) override {
    seen.push_back(std::to_string(line) + " refused " + error.message);
  }
  void no_record(std::size_t line) override { seen.push_back(std::to_string(line) + " none"); }
};

class Digests final : public RecordSink {
 public:
  std::vector<std::pair<std::size_t, std::string>> got;  // hex, or "!" + message
  void digested(std::size_t line, std::string_view hex) override {
    got.emplace_back(line, std::string(hex));
  }
  void canonical(std::size_t, const CanonicalText&) override {}
  void refused(std::size_t line, QuorlError error) override {
    got.emplace_back(line, "!" + error.message);
  }
};

// Random lines (records, blanks, refusals), a random listing of them with
// some digests changed and some blank lines listed, checked against the
// digest walk of the whole: every entry settled once, in order, as the walk
// says.
TEST(SumsCheck, AgreesWithTheDigestWalk) {
  std::mt19937 rng(2024);
  for (int round = 0; round < 200; ++round) {
    std::string data;
    const int lines = static_cast<int>(rng() % 40) + 1;
    for (int n = 0; n < lines; ++n) {
      switch (rng() % 5) {
        case 0:
          data += "  \t";
          break;
        case 1:
          data += "[1.5]";
          break;
        default:
          data += "{\"n\":" + std::to_string(rng() % 1000) + "}";
      }
      if (n + 1 < lines || rng() % 2) data += "\n";
    }
    const std::size_t first_line = 1 + rng() % 5;
    Digests all;
    ASSERT_TRUE(digest_record_lines(data, first_line, "run", all).ok());
    std::string entries;
    std::vector<std::string> want;
    std::size_t walked = 0;
    for (int n = 0; n < lines; ++n) {
      const std::size_t line = first_line + static_cast<std::size_t>(n);
      while (walked < all.got.size() && all.got[walked].first < line) ++walked;
      const bool has_record = walked < all.got.size() && all.got[walked].first == line;
      if (rng() % 3 == 0) continue;  // not listed
      const std::string& result = has_record ? all.got[walked].second : kHex;
      const bool refused = has_record && result[0] == '!';
      const bool tampered = !refused && rng() % 4 == 0;
      std::string hex = refused ? kHex : result;
      if (tampered) hex[0] = hex[0] == '0' ? '1' : '0';
      append_listed_record(line, hex, entries);
      want.push_back(std::to_string(line) + (!has_record ? " none"
                                             : refused   ? " refused " + result.substr(1)
                                             : tampered  ? " bad"
                                                         : " ok"));
    }
    Collecting sink;
    DirectText scratch;
    ASSERT_TRUE(
        check_record_lines(data, first_line, "run", ListedRecords(entries), sink, scratch).ok());
    EXPECT_EQ(sink.seen, want) << data;
  }
}

TEST(SumsCheck, FindsEntriesAndLines) {
  std::string entries;
  for (std::size_t line : {2, 5, 9}) append_listed_record(line, kHexUpper, entries);
  const ListedRecords listed(entries);
  EXPECT_EQ(listed.size(), 3u);
  EXPECT_EQ(listed.first_from(1), 0u);
  EXPECT_EQ(listed.first_from(5), 1u);
  EXPECT_EQ(listed.first_from(6), 2u);
  EXPECT_EQ(listed.first_from(10), 3u);
  std::string lower = kHexUpper;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_TRUE(listed.matches(1, lower));
  EXPECT_EQ(line_of("a\nb\n\nc", 3, 4), "b");
  EXPECT_EQ(line_of("a\nb\n\nc", 3, 6), "c");
  EXPECT_EQ(line_of("a\nb\n", 3, 5), std::nullopt);
  EXPECT_EQ(line_of("a\nb\n", 3, 2), std::nullopt);
  Collecting sink;
  DirectText scratch;
  EXPECT_FALSE(check_record_lines("1\n", 1, "nope", listed, sink, scratch).ok());
  EXPECT_TRUE(sink.seen.empty());
}

}  // namespace
}  // namespace quorl
