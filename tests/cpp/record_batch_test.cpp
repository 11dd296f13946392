#include "core/batch/record_batch.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "core/canonical_text.h"
#include "core/digest.h"
#include "core/exact/input_gate.h"
#include "test_support.h"

namespace quorl {
namespace {

// What a sink saw for one record, as one comparable line of text:
// "<line> ok <result>" or "<line> refused <message> @<offset>:<line>:<column>".
class CollectingSink final : public RecordSink {
 public:
  std::vector<std::string> seen;

  void digested(std::size_t line, std::string_view hex) override {
    seen.push_back(std::to_string(line) + " ok " + std::string(hex));
  }
  void canonical(std::size_t line, const CanonicalText& text) override {
    std::string bytes(text.size(), '\0');
    text.write_to(bytes.data());
    seen.push_back(std::to_string(line) + " ok " + bytes);
  }
  void refused(std::size_t line, QuorlError error) override {
    seen.push_back(std::to_string(line) + " " + describe(error));
  }

  static std::string describe(const QuorlError& error) {
    std::string at = error.offset == kNoOffset ? "-" : std::to_string(error.offset);
    return "refused " + error.message + " @" + at + ":" + std::to_string(error.line) + ":" +
           std::to_string(error.column);
  }
};

struct WalkCase {
  const char* name;
  std::string_view data;
  std::size_t first_line;
  std::size_t records;
  std::vector<std::string> canonical;  // what the canonical walk's sink sees
};

const std::string kFloat = std::string(qtest::kFloatMsg);

const WalkCase kWalkCases[] = {
    {"empty", "", 1, 0, {}},
    {"only_blank_lines", "\n \t\r\n\r\n   ", 1, 0, {}},
    {"blank_lines_skipped_but_counted",
     "{\"b\":1,\"a\":2}\n\n  \t\r\n[1]\n",
     1,
     2,
     {"1 ok {\"a\":2,\"b\":1}", "4 ok [1]"}},
    {"crlf_line_ends", "1\r\n\r\n{\"a\" : true}\r\n", 7, 2, {"7 ok 1", "9 ok {\"a\":true}"}},
    {"last_line_without_newline", "1\n2", 1, 2, {"1 ok 1", "2 ok 2"}},
    {"one_record", "  [\"x\", {\"$int\": \"-12\"}]  ", 5, 1, {"5 ok [\"x\",-12]"}},
    {"invalid_utf8_located_in_its_record",
     "\"\xC3\xA9\"\n\"a\xFF\"\n\"\xE2\x82\"\r\n",
     1,
     3,
     {"1 ok \"\xC3\xA9\"", "2 refused invalid UTF-8 at byte 2 @2:1:3",
      "3 refused invalid UTF-8 at byte 1 @1:1:2"}},
    {"overlong_and_surrogate",
     "\"\xC0\xAF\"\n\"ab\xED\xA0\x80\"\n",
     1,
     2,
     {"1 refused invalid UTF-8 at byte 1 @1:1:2", "2 refused invalid UTF-8 at byte 3 @3:1:4"}},
    // The digest walk hashes records in pairs: refusals and blank lines
    // right after the first or the second of a pair, and odd counts, must
    // not change what each record gets or the order the sink sees.
    {"refusals_beside_pairs",
     "1\n\"\xFF\"\n2\n3\n-0\n4\n\n\"\xFF\"\n-0\n5\n6\n7",
     1,
     11,
     {"1 ok 1", "2 refused invalid UTF-8 at byte 1 @1:1:2", "3 ok 2", "4 ok 3",
      "5 refused " + kFloat + " @0:1:1", "6 ok 4", "8 refused invalid UTF-8 at byte 1 @1:1:2",
      "9 refused " + kFloat + " @0:1:1", "10 ok 5", "11 ok 6", "12 ok 7"}},
    {"three_records_then_a_refusal",
     "[3]\n{\"b\":1,\"a\":0}\n\"z\"\n-0\n",
     1,
     4,
     {"1 ok [3]", "2 ok {\"a\":0,\"b\":1}", "3 ok \"z\"", "4 refused " + kFloat + " @0:1:1"}},
};

class RecordWalkTest : public ::testing::TestWithParam<WalkCase> {};

TEST_P(RecordWalkTest, CanonicalWalkSeesEachRecordOnce) {
  const WalkCase& c = GetParam();
  CollectingSink sink;
  EXPECT_EQ(canonical_record_lines(c.data, c.first_line, sink), c.records);
  EXPECT_EQ(sink.seen, c.canonical);
}

TEST_P(RecordWalkTest, DigestWalkMatchesTheSingleDocumentDigest) {
  const WalkCase& c = GetParam();
  CollectingSink sink;
  Result<std::size_t> records = digest_record_lines(c.data, c.first_line, "run", sink);
  ASSERT_TRUE(records.ok());
  EXPECT_EQ(records.value(), c.records);
  ASSERT_EQ(sink.seen.size(), c.canonical.size());
  for (std::size_t i = 0; i < c.canonical.size(); ++i) {
    const std::string& expected = c.canonical[i];
    const std::size_t space = expected.find(' ');
    if (expected.compare(space + 1, 3, "ok ") == 0) {
      // The canonical text digests as itself.
      Result<std::string> hex = py_digest_from_json(expected.substr(space + 4), "run");
      ASSERT_TRUE(hex.ok());
      EXPECT_EQ(sink.seen[i], expected.substr(0, space) + " ok " + hex.value());
    } else {
      EXPECT_EQ(sink.seen[i], expected);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Table, RecordWalkTest, ::testing::ValuesIn(kWalkCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RecordWalk, RefusalsKeepTheirLinesAndTheCoreLocation) {
  const std::string data = "1\n1.5\n\n[1, 2.0]\n{\"a\": }\n";
  CollectingSink sink;
  EXPECT_EQ(canonical_record_lines(data, 10, sink), 4u);
  ASSERT_EQ(sink.seen.size(), 4u);
  EXPECT_EQ(sink.seen[0], "10 ok 1");
  // Whatever location the core gives for each record, the walk passes on.
  const char* records[] = {"1.5", "[1, 2.0]", "{\"a\": }"};
  const char* lines[] = {"11", "13", "14"};
  for (int i = 0; i < 3; ++i) {
    Result<std::string> single = py_canonical_bytes_from_json(records[i]);
    ASSERT_FALSE(single.ok());
    EXPECT_EQ(sink.seen[i + 1],
              std::string(lines[i]) + " " + CollectingSink::describe(single.error()));
  }
  EXPECT_NE(sink.seen[1].find(kFloat), std::string::npos);
}

TEST(RecordWalk, UnknownProfileIsRefusedBeforeAnyRecord) {
  CollectingSink sink;
  Result<std::size_t> records = digest_record_lines("1\n2\n", 1, "nope", sink);
  ASSERT_FALSE(records.ok());
  EXPECT_EQ(records.error().message, "unknown digest profile: nope");
  EXPECT_TRUE(sink.seen.empty());
}

TEST(RecordWalk, BlankLineRule) {
  EXPECT_TRUE(is_blank_line(""));
  EXPECT_TRUE(is_blank_line(" \t\r \r"));
  EXPECT_FALSE(is_blank_line(" \f"));
  EXPECT_FALSE(is_blank_line(std::string_view("\0", 1)));
}

// Generated records, some blank, some refused, some with bad UTF-8 at a
// known place, some that only the exact path encodes or too long to pair,
// checked against the single-document functions called record by record on
// lines split here independently.
struct MixCase {
  const char* name;
  unsigned seed;
  int lines;
  unsigned refusal_percent;
};

const MixCase kMixCases[] = {
    {"one_record", 1, 1, 0},
    {"two_records", 2, 2, 0},
    {"three_records", 3, 3, 0},
    {"ten_thousand_one_lines", 7, 10001, 20},
    {"ten_thousand_lines", 8, 10000, 20},
    {"mostly_refused", 9, 3001, 60},
};

class RecordMixTest : public ::testing::TestWithParam<MixCase> {};

TEST_P(RecordMixTest, WalksMatchTheSingleDocumentFunctions) {
  const MixCase& c = GetParam();
  std::mt19937_64 rng(c.seed);
  std::string data;
  std::vector<std::string> lines;
  std::vector<std::size_t> bad_byte;  // per line: where invalid UTF-8 was put, or npos
  for (int i = 0; i < c.lines; ++i) {
    std::string line;
    std::size_t bad = std::string::npos;
    if (rng() % 100 < c.refusal_percent) {
      switch (rng() % 3) {
        case 0:
          line = "{\"n\": " + std::to_string(rng() % 1000) + ".5}";
          break;
        case 1:
          line = "{\"s\": \"ab\xFF\"}";
          bad = 9;
          break;
        default:
          line = "[9007199254740993]";
      }
    } else {
      switch (rng() % 12) {
        case 0:
          line = rng() % 2 ? "" : " \t ";
          break;
        case 1:
          line = "[\"\xE2\x82\xAC\", {\"$int\": \"" + std::to_string(rng()) + "\"}]\r";
          break;
        case 2:
          line = R"({"$obj": {"digest": 1, "b": [2]}})";
          break;  // the exact path's
        case 3:   // longer than the walk pairs
          if (rng() % 8 == 0) {
            line = "{\"long\": \"" + std::string(20000 + rng() % 100, 'x') + "\", \"a\": 1}";
            break;
          }
          [[fallthrough]];
        case 4:
        case 5: {
          // keys out of order around a tag, pieces of every short length
          const std::string word(rng() % 40, static_cast<char>('a' + rng() % 26));
          line = "{\"w\":\"" + word + "\",\"ref\":{\"$int\":\"" + std::to_string(rng() % 100000) +
                 "\"},\"id\":" + std::to_string(i) + ",\"b\":[\"" + word.substr(0, rng() % 20) +
                 "\"],\"a\":{\"y\":" + std::to_string(rng() % 1000) + ",\"x\":null}}";
          break;
        }
        default:
          line = "{\"id\": " + std::to_string(i) + ", \"name\": \"r" + std::to_string(rng() % 97) +
                 "\", \"digest\": \"x\", \"tags\": [1, 2, {\"z\": null, \"a\": false}]}";
      }
    }
    lines.push_back(line);
    bad_byte.push_back(bad);
    data += line;
    if (i + 1 != c.lines || rng() % 2) data += '\n';
  }

  CollectingSink canonical_sink, digest_sink;
  const std::size_t records = canonical_record_lines(data, 1, canonical_sink);
  Result<std::size_t> digested = digest_record_lines(data, 1, "semantic-content", digest_sink);
  ASSERT_TRUE(digested.ok());
  EXPECT_EQ(digested.value(), records);

  std::vector<std::string> expect_canonical, expect_digest;
  std::istringstream split(data);
  std::string line;
  for (std::size_t n = 1; std::getline(split, line); ++n) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    ASSERT_EQ(line, lines[n - 1]);
    const std::string prefix = std::to_string(n) + " ";
    if (bad_byte[n - 1] != std::string::npos) {
      const std::size_t at = bad_byte[n - 1];
      const std::string refusal = prefix + "refused invalid UTF-8 at byte " + std::to_string(at) +
                                  " @" + std::to_string(at) + ":1:" + std::to_string(at + 1);
      expect_canonical.push_back(refusal);
      expect_digest.push_back(refusal);
      continue;
    }
    Result<std::string> bytes = py_canonical_bytes_from_json(line);
    expect_canonical.push_back(
        prefix + (bytes.ok() ? "ok " + bytes.value() : CollectingSink::describe(bytes.error())));
    Result<std::string> hex = py_digest_from_json(line, "semantic-content");
    expect_digest.push_back(
        prefix + (hex.ok() ? "ok " + hex.value() : CollectingSink::describe(hex.error())));
  }
  EXPECT_EQ(records, expect_canonical.size());
  EXPECT_GE(records, static_cast<std::size_t>(c.lines) * 8 / 10);
  EXPECT_EQ(canonical_sink.seen, expect_canonical);
  EXPECT_EQ(digest_sink.seen, expect_digest);
}

INSTANTIATE_TEST_SUITE_P(Table, RecordMixTest, ::testing::ValuesIn(kMixCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Floats taken as strings reach every record of both walks.
TEST(RecordWalkTest, FloatsAsStrings) {
  const std::string_view data = "[1.5]\n{\"a\": 2e-7}\n[0.5, 1e400]\n\"x\"\n";
  CollectingSink canonical;
  DirectText scratch;
  EXPECT_EQ(canonical_record_lines(data, 1, canonical, scratch, false, FloatPolicy::Str), 4u);
  EXPECT_EQ(canonical.seen,
            (std::vector<std::string>{"1 ok [\"1.5\"]", "2 ok {\"a\":\"2e-07\"}",
                                      "3 refused Infinity is forbidden in canonical content @6:1:7",
                                      "4 ok \"x\""}));
  CollectingSink digests;
  ASSERT_TRUE(
      digest_record_lines(data, 1, "certificate", digests, scratch, false, FloatPolicy::Str).ok());
  ASSERT_EQ(digests.seen.size(), 4u);
  EXPECT_EQ(digests.seen[1],
            "2 ok " + py_digest_from_json(R"({"a":"2e-07"})", "certificate").value());
  EXPECT_EQ(digests.seen[2], canonical.seen[2]);
}

}  // namespace
}  // namespace quorl
