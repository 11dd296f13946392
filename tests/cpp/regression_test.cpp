// Regression table for the fuzz targets (fuzz/): inputs at the seams that
// the targets hammer, where the one-pass direct path and the exact path
// (gate, reader, decoder, encoder) meet, and every input a fuzz run has
// turned up. Each row is checked three ways: the canonical bytes as the
// module returns them, the text the digest hashes (root "digest" members
// left out), and the contract between the two paths in both modes (when the
// direct path answers, it answers with the exact path's bytes).
//
// Expected bytes and messages are worked out by hand from the format's
// rules; a row found by fuzzing carries the input as the fuzzer minimised it.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "core/canonical_text.h"
#include "core/direct/direct_path.h"
#include "core/exact/encoder.h"
#include "core/exact/input_gate.h"
#include "test_support.h"

namespace {

using qtest::Err;
using qtest::Ok;
using qtest::Outcome;
using quorl::QuorlValue;

constexpr std::string_view kDepth = qtest::kDepthMsg;
constexpr std::string_view kFloat = qtest::kFloatMsg;
constexpr std::string_view kBareInt = qtest::kBareIntMsg;

// The exact path in canonical mode (skip = false) or digest mode.
Outcome exact(std::string_view text, bool skip_digest_key) {
  return qtest::outcome(quorl::exact_canonical_text(text, skip_digest_key));
}

struct Row {
  const char* label;
  std::string text;
  Outcome canonical;  // canonical_bytes_from_json
  Outcome hashed;     // what the digest hashes after the domain line
};

void PrintTo(const Row& row, std::ostream* os) {
  *os << qtest::quote_bytes(row.text);
}

// Rows whose two modes agree.
Row same(const char* label, std::string text, Outcome both) {
  return Row{label, std::move(text), both, both};
}

std::string repeat(std::string_view piece, std::size_t n) {
  return qtest::repeat(piece, n);
}

const Row kRows[] = {
    // --- tag keys the direct path leaves to the exact path
    same("escaped tag key", R"({"\u0024int":"7"})", Ok("7")),
    same("escaped $obj key with company", R"({"\u0024obj":{"$int":"5"},"b":1})",
         Ok(R"({"$obj":5,"b":1})")),
    same("$obj first member with company", R"({"$obj":{"$int":"5"},"a":1})",
         Ok(R"({"$obj":5,"a":1})")),
    same("$obj payload keeps its tag key", R"({"$obj":{"$obj":{"$int":"1"}}})",
         Ok(R"({"$obj":1})")),
    same("$obj payload tag key with company", R"({"$obj":{"$obj":{"$int":"1"},"x":2}})",
         Ok(R"({"$obj":1,"x":2})")),
    same("$obj payload holding a marker key", R"({"$obj":{"$nan":1}})", Ok(R"({"$nan":1})")),
    same("$str payload written as a tag", R"({"$str":{"$str":"a"}})", Err(qtest::kStrPayloadMsg)),
    same("$null false", R"([{"$null":false}])", Err(qtest::kNullPayloadMsg)),

    // --- duplicate keys: the later value wins, the earlier is never decoded
    same("duplicate key, first value undecodable", R"({"a":{"$int":"x"},"a":2})", Ok(R"({"a":2})")),
    same("duplicate key spelled with an escape", R"({"a":1,"\u0061":2})", Ok(R"({"a":2})")),
    Row{"duplicate digest at the root", R"({"digest":1,"digest":2})", Ok(R"({"digest":2})"),
        Ok("{}")},

    // --- root "digest" members
    Row{"digest member among sorted keys", R"({"a":1,"digest":2,"z":3})",
        Ok(R"({"a":1,"digest":2,"z":3})"), Ok(R"({"a":1,"z":3})")},
    Row{"digest member among unsorted keys", R"({"z":1,"digest":2,"a":3})",
        Ok(R"({"a":3,"digest":2,"z":1})"), Ok(R"({"a":3,"z":1})")},
    Row{"NaN under the root digest", R"({"digest":{"$nan":0},"a":1})", Err(qtest::kNaNMsg),
        Ok(R"({"a":1})")},
    Row{"tagged root with a digest member", R"({"$obj":{"digest":{"$nan":0},"a":1}})",
        Err(qtest::kNaNMsg), Ok(R"({"a":1})")},
    same("digest member below the root", R"([{"digest":1}])", Ok(R"([{"digest":1}])")),

    // --- integers
    same("$int negative zeros", R"([{"$int":"-0000"},{"$int":"-0012"}])", Ok("[0,-12]")),
    same("$int payload written with escapes", R"({"$int":"\u0031\u0032"})", Ok("12")),
    same("$int of 17 digits", R"({"$int":"12345678901234567"})", Ok("12345678901234567")),
    same("bare integers at the bound", "[9007199254740991,-9007199254740991]",
         Ok("[9007199254740991,-9007199254740991]")),
    same("bare integer past the bound", "[9007199254740992]", Err(kBareInt)),
    //                                     ^ 16 digits, one past 2^53 - 1
    same("lone minus at the end", "[-", Err(kFloat)),
    //                                 ^ a token with no digit

    // --- depth
    same("128 nested arrays, innermost empty", repeat("[", 128) + repeat("]", 128),
         Ok(repeat("[", 128) + repeat("]", 128))),
    same("129 nested arrays", repeat("[", 129) + repeat("]", 129), Err(kDepth)),
    same("130 raw brackets, 65 decoded levels", repeat(R"({"$arr":[)", 65) + "1" + repeat("]}", 65),
         Ok(repeat("[", 65) + "1" + repeat("]", 65))),

    // --- strings and keys
    same("surrogate pair escape", R"("\ud83d\ude00")", Ok("\"\xF0\x9F\x98\x80\"")),
    same("short escapes become \\u00xx", R"("\b\f\n\r\t\/")",
         Ok(R"("\u0008\u000c\u000a\u000d\u0009/")")),
    same("U+007F and U+2028 stay raw", R"("\u007f\u2028")", Ok("\"\x7F\xE2\x80\xA8\"")),
    same("keys in byte order", R"({"\ue000":1,"\ud83d\ude00":2,"z":3,"\u00e9":4})",
         Ok("{\"z\":3,\"\xC3\xA9\":4,\"\xEE\x80\x80\":1,\"\xF0\x9F\x98\x80\":2}")),

    // --- reader faults after a start the direct path also reads
    same("whitespace only", "   ",
         Err("invalid JSON: EOF while parsing a value at line 1 column 3")),
    same("text after the document", R"({"a":1} x)",
         Err("invalid JSON: trailing characters at line 1 column 9")),
    //       {"a":1} x
    //               ^ column 9
    same("number glued to a literal", "[1true]",
         Err("invalid JSON: expected `,` or `]` at line 1 column 3")),
    //       [1true]
    //         ^ column 3
    same("NUL byte between tokens", std::string("[\0]", 3),
         Err("invalid JSON: expected value at line 1 column 2")),
    same("raw NUL inside a string", std::string("\"a\0\"", 4),
         Err("invalid JSON: control character (\\u0000-\\u001F) found while parsing a string "
             "at line 1 column 3")),
};

class Regression : public ::testing::TestWithParam<Row> {};

TEST_P(Regression, CanonicalBytes) {
  const Row& row = GetParam();
  EXPECT_EQ(qtest::outcome(quorl::py_canonical_bytes_from_json(row.text)), row.canonical);
  EXPECT_EQ(exact(row.text, false), row.canonical);
}

TEST_P(Regression, DigestHashesTheTextWithoutRootDigest) {
  const Row& row = GetParam();
  EXPECT_EQ(exact(row.text, true), row.hashed);
}

TEST_P(Regression, DirectPathAnswersOnlyWithTheExactBytes) {
  const Row& row = GetParam();
  for (bool skip : {false, true}) {
    const Outcome& want = skip ? row.hashed : row.canonical;
    std::string direct;
    if (quorl::direct_canonical(row.text, skip, direct)) {
      EXPECT_EQ(Ok(direct), want) << "skip_digest_key=" << skip;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Table, Regression, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return qtest::param_name(info.param.label); });

}  // namespace
