// Floats as strings: a token's repr against a table of every kind of
// double and against an independent model (from_chars, then the shortest
// form to_chars gives); documents through the front door against the exact
// path alone, with every refusal located in the caller's text.
#include "core/rules/float_text.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/canonical_text.h"
#include "core/digest.h"
#include "core/rules/float_tokens.h"
#include "test_support.h"

namespace quorl {
namespace {

constexpr std::string_view kNotFloat = "<not a float>";
constexpr std::string_view kOverflow = "<overflow>";

std::string token_text(std::string_view token) {
  char out[kFloatTextMax];
  const FloatTokenText text =
      float_token_text(reinterpret_cast<const unsigned char*>(token.data()), token.size(), out);
  switch (text.kind) {
    case FloatTokenText::Kind::NotFloat:
      return std::string(kNotFloat);
    case FloatTokenText::Kind::Overflow:
      return std::string(kOverflow);
    case FloatTokenText::Kind::Text:
      break;
  }
  return std::string(out, text.size);
}

// The model: the token read by from_chars, written as its shortest repr.
std::string model_text(std::string_view token) {
  double x = 0;
  const auto read = std::from_chars(token.data(), token.data() + token.size(), x);
  EXPECT_EQ(read.ec, std::errc()) << token;
  char out[kFloatTextMax];
  return std::string(out, float_repr(x, out));
}

struct TokenCase {
  std::string_view token, text;
};

// repr(float(token)) in Python, for each class of double and token shape.
const TokenCase kTokenCases[] = {
    {"1.0", "1.0"},
    {"0.05", "0.05"},
    {"-0.0", "-0.0"},
    {"0e0", "0.0"},
    {"-0E+99", "-0.0"},
    {"1E5", "100000.0"},
    {"1e+2", "100.0"},
    {"100.000", "100.0"},
    {"0.1", "0.1"},
    {"1e16", "1e+16"},
    {"9999999999999998.0", "9999999999999998.0"},
    {"1234567890123456.0", "1234567890123456.0"},
    {"12345678901234567.0", "1.2345678901234568e+16"},
    {"1e22", "1e+22"},
    {"1e-5", "1e-05"},
    {"0.0001", "0.0001"},
    {"0.00012", "0.00012"},
    {"1.5e-7", "1.5e-07"},
    {"1e100", "1e+100"},
    {"5e-324", "5e-324"},
    {"2.4703282292062328e-324", "5e-324"},
    {"2e-324", "0.0"},
    {"-1e-400", "-0.0"},
    {"2.2250738585072014e-308", "2.2250738585072014e-308"},
    {"2.2250738585072011e-308", "2.225073858507201e-308"},
    {"1.7976931348623157e308", "1.7976931348623157e+308"},
    {"1.7976931348623158e308", "1.7976931348623157e+308"},
    {"1.7976931348623159e308", kOverflow},
    {"1e400", kOverflow},
    {"-1e400", kOverflow},
    {"1e0000000000000000000000005", "100000.0"},
    {"9007199254740993.0", "9007199254740992.0"},
    {"0.30000000000000004", "0.30000000000000004"},
    {"0.10000000000000001", "0.1"},
    {"-65.613616999999977", "-65.61361699999998"},
    {"43.420273000000009", "43.42027300000001"},
    {"123456789012345678901234567890.5", "1.2345678901234568e+29"},
    // Two shortest forms equally near: the even one, as float.__repr__.
    {"1125899906842624.25", "1125899906842624.2"},
    {"1125899906842624.75", "1125899906842624.8"},
    // Not floats: integers, and tokens JSON does not allow.
    {"12", kNotFloat},
    {"-0", kNotFloat},
    {"01.5", kNotFloat},
    {"1.", kNotFloat},
    {".5", kNotFloat},
    {"1e", kNotFloat},
    {"1e+", kNotFloat},
    {"1.5.3", kNotFloat},
    {"-", kNotFloat},
    {"1-2", kNotFloat},
    {"+1.0", kNotFloat},
    {"--1.0", kNotFloat},
};

class FloatTokenTextTest : public ::testing::TestWithParam<TokenCase> {};

TEST_P(FloatTokenTextTest, IsTheReprOfItsDouble) {
  EXPECT_EQ(token_text(GetParam().token), GetParam().text) << GetParam().token;
}

INSTANTIATE_TEST_SUITE_P(Table, FloatTokenTextTest, ::testing::ValuesIn(kTokenCases));

// Tokens of every length and shape that doubles are written in: %.Ng of
// random bits, and decimals of 16 to 19 digits with the point anywhere,
// which lie between doubles rather than on them.
TEST(FloatTokenTextTest, AgreesWithTheModelOnRandomTokens) {
  std::mt19937_64 rng(20261208);
  char token[64];
  for (int n = 0; n < 200000; ++n) {
    std::string_view t;
    if (n % 2 == 0) {
      const double x = std::bit_cast<double>(rng());
      if (!std::isfinite(x)) continue;
      const auto format = n % 4 == 0 ? std::chars_format::scientific : std::chars_format::general;
      const int precision = 1 + static_cast<int>(rng() % 20);
      t = std::string_view(token, std::to_chars(token, token + 40, x, format, precision).ptr);
      if (t.find_first_of(".e") == std::string_view::npos) continue;  // an integer
    } else {
      const std::size_t digits = 16 + rng() % 4;
      std::string d = std::to_string(1 + rng() % 9);
      while (d.size() < digits) d.push_back(static_cast<char>('0' + rng() % 10));
      const std::size_t point = 1 + rng() % (digits - 1);
      const std::string s = d.substr(0, point) + "." + d.substr(point) +
                            (rng() % 3 == 0 ? "e-" + std::to_string(rng() % 30) : "");
      t = std::string_view(token, s.copy(token, sizeof token));
    }
    ASSERT_EQ(token_text(t), model_text(t)) << t;
  }
}

struct DocumentCase {
  const char* name;
  std::string_view text;
  std::string_view outcome;  // the canonical text, or "refused <message> @<offset>:<line>:<column>"
};

std::string describe(const Result<std::string>& result) {
  if (result.ok()) return result.value();
  const QuorlError& e = result.error();
  return "refused " + e.message + " @" + std::to_string(e.offset) + ":" + std::to_string(e.line) +
         ":" + std::to_string(e.column);
}

const DocumentCase kDocumentCases[] = {
    {"floats_become_strings", R"({"b": [1.5, 2, -0.0], "a": 1e16})",
     R"({"a":"1e+16","b":["1.5",2,"-0.0"]})"},
    {"no_float", R"({"b": 1, "a": "1.5"})", R"({"a":"1.5","b":1})"},
    {"root_float", "  2.50 ", R"("2.5")"},
    {"underflow_is_zero", "[1e-400, -1e-400]", R"(["0.0","-0.0"])"},
    {"float_in_a_tag_payload", R"({"$str": 0.5})", R"("0.5")"},
    {"float_as_an_int_payload", R"([{"$int": 1.5}])",
     "refused invalid $int payload: expected optional '-' then ASCII digits @1:1:2"},
    {"float_tag_still_refused", R"([1.5, {"$float": 1}])",
     "refused floats are forbidden in canonical content; pre-represent as int or string @6:1:7"},
    {"nan_tag_after_a_float", "[1.5,\n {\"$nan\": 2.5}]",
     "refused NaN is forbidden in canonical content @7:2:2"},
    {"overflow_located", "[0.5,\n  1e400]",
     "refused Infinity is forbidden in canonical content @8:2:3"},
    {"bad_token_after_a_float", "[0.5, 01]",
     "refused floats are forbidden in canonical content; pre-represent as int or string @6:1:7"},
    {"minus_zero_integer_still_refused", "[0.5, -0]",
     "refused floats are forbidden in canonical content; pre-represent as int or string @6:1:7"},
    {"bare_integer_beyond_the_bound", "[2.5,\n 9007199254740992]",
     "refused bare JSON integer beyond +/-(2^53 - 1): use a $int tag @7:2:2"},
    {"float_where_a_key_must_be", "{1.5: 1}",
     "refused invalid JSON: key must be a string at line 1 column 2 @1:1:2"},
    {"reader_fault_after_a_long_float", "[0.10000000000000001 2]",
     "refused invalid JSON: expected `,` or `]` at line 1 column 22 @21:1:22"},
    {"duplicate_keys_with_floats", R"({"a": 1.5, "a": 2.5})", R"({"a":"2.5"})"},
    {"unclosed_after_a_float", "[1.5, [[[[",  // located at the end of the text
     "refused invalid JSON: EOF while parsing a list at line 1 column 10 @10:1:11"},
};

class FloatsAsStringsTest : public ::testing::TestWithParam<DocumentCase> {};

TEST_P(FloatsAsStringsTest, FrontDoorAndExactPathAgree) {
  const DocumentCase& c = GetParam();
  const Result<std::string> exact = exact_canonical_text(c.text, false, FloatPolicy::Str);
  EXPECT_EQ(describe(exact), c.outcome);
  DirectText scratch;
  Result<CanonicalText> front =
      canonical_text_from_json(c.text, scratch, false, nullptr, nullptr, FloatPolicy::Str);
  if (front.ok()) {
    std::string bytes(front.value().size(), '\0');
    front.value().write_to(bytes.data());
    EXPECT_EQ(bytes, c.outcome);
  } else {
    EXPECT_EQ(describe(fail(std::move(front).error())), c.outcome);
  }
  // The digest covers the same text, hashed on a second thread from the
  // first byte (so that a restart after the direct path steps aside shows).
  const Result<std::string> hex =
      pipelined_digest_from_json(c.text, "run", scratch, 0, FloatPolicy::Str);
  ASSERT_EQ(hex.ok(), exact.ok());
  if (hex.ok()) {
    EXPECT_EQ(hex.value(), py_digest_from_json(exact.value(), "run").value());
  }
}

INSTANTIATE_TEST_SUITE_P(Table, FloatsAsStringsTest, ::testing::ValuesIn(kDocumentCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FloatsAsStringsTest, QuotingLeavesAllButFloatTokens) {
  std::string out;
  EXPECT_EQ(quote_float_tokens(R"({"x": "1.5", "y": [1, -0, 1e2]})", out), QuotedFloats::Quoted);
  EXPECT_EQ(out, R"({"x": "1.5", "y": [1, -0, "100.0"]})");
  EXPECT_EQ(quote_float_tokens(R"([1, "2.5", 01])", out), QuotedFloats::None);
  EXPECT_EQ(quote_float_tokens("[1.5, 1e999]", out), QuotedFloats::Exact);
  EXPECT_EQ(quote_float_tokens("{2.5 :1}", out), QuotedFloats::Exact);
  EXPECT_EQ(quote_float_tokens("[1.5, \"open", out), QuotedFloats::Quoted);
  EXPECT_EQ(out, "[\"1.5\", \"open");
}

}  // namespace
}  // namespace quorl
