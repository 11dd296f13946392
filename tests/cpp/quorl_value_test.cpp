// The value model: exact integers of any size (built from int64 and from
// decimal text, rendered back as decimal), which alternative a value holds,
// and trees that own their whole subtree.
#include "core/exact/quorl_value.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "test_support.h"

namespace {

using quorl::Int;
using quorl::Kind;
using quorl::QuorlValue;
using namespace qtest;

// ------------------------------------------------------------ from_decimal

struct DecimalRow {
  std::string label;
  std::string text;
  std::string rendered;  // the expected decimal text
  bool zero;
  bool negative;
  friend void PrintTo(const DecimalRow& r, std::ostream* os) { *os << r.label; }
};

class IntFromDecimal : public ::testing::TestWithParam<DecimalRow> {};

TEST_P(IntFromDecimal, RendersExactly) {
  const DecimalRow& row = GetParam();
  Int value(std::int64_t{77});
  ASSERT_TRUE(Int::from_decimal(row.text, &value)) << row.text;
  EXPECT_EQ(value.to_decimal(), row.rendered);
  EXPECT_EQ(value.is_zero(), row.zero);
  EXPECT_EQ(value.is_negative(), row.negative);
  // append_decimal adds to what is there.
  std::string out = "x=";
  value.append_decimal(out);
  EXPECT_EQ(out, "x=" + row.rendered);
}

// Inline storage ends at 18 digits; the rows walk across that edge from
// both sides, with and without sign and leading zeros.
INSTANTIATE_TEST_SUITE_P(
    Rows, IntFromDecimal,
    ::testing::Values(
        DecimalRow{"zero", "0", "0", true, false},
        DecimalRow{"three_zeros", "000", "0", true, false},
        DecimalRow{"minus_zero", "-0", "0", true, false},
        DecimalRow{"minus_three_zeros", "-000", "0", true, false},
        DecimalRow{"minus_25_zeros", cat("-", std::string(25, '0')), "0", true, false},
        DecimalRow{"five", "5", "5", false, false},
        DecimalRow{"minus_five", "-5", "-5", false, true},
        DecimalRow{"leading_zeros", "007", "7", false, false},
        DecimalRow{"minus_leading_zeros", "-0070", "-70", false, true},
        DecimalRow{"max_exact", "9007199254740991", "9007199254740991", false, false},
        DecimalRow{"just_above_2_53", "9007199254740993", "9007199254740993", false, false},
        DecimalRow{"d17", "12345678901234567", "12345678901234567", false, false},
        DecimalRow{"d18_all_nines", "999999999999999999", "999999999999999999", false, false},
        DecimalRow{"d18_neg_all_nines", "-999999999999999999", "-999999999999999999", false, true},
        DecimalRow{"d18_with_zeros_in_front", "000100000000000000000", "100000000000000000", false,
                   false},
        DecimalRow{"d19_smallest", "1000000000000000000", "1000000000000000000", false, false},
        DecimalRow{"d19_neg_smallest", "-1000000000000000000", "-1000000000000000000", false, true},
        DecimalRow{"d19_int64_max", "9223372036854775807", "9223372036854775807", false, false},
        DecimalRow{"d19_int64_max_plus_1", "9223372036854775808", "9223372036854775808", false,
                   false},
        DecimalRow{"d19_int64_min", "-9223372036854775808", "-9223372036854775808", false, true},
        DecimalRow{"d19_int64_min_minus_1", "-9223372036854775809", "-9223372036854775809", false,
                   true},
        DecimalRow{"d19_all_nines", "9999999999999999999", "9999999999999999999", false, false},
        DecimalRow{"d19_with_zeros_in_front", "-00001000000000000000000", "-1000000000000000000",
                   false, true},
        DecimalRow{"d20_uint64_max", "18446744073709551615", "18446744073709551615", false, false},
        DecimalRow{"d20_uint64_max_plus_1", "18446744073709551616", "18446744073709551616", false,
                   false},
        DecimalRow{"d20_neg", "-99999999999999999999", "-99999999999999999999", false, true},
        DecimalRow{"d40_neg", "-1234567890123456789012345678901234567890",
                   "-1234567890123456789012345678901234567890", false, true},
        DecimalRow{"one_after_many_zeros", std::string(40, '0') + "1", "1", false, false},
        DecimalRow{"minus_one_after_many_zeros", cat("-", std::string(40, '0'), "1"), "-1", false,
                   true}),
    [](const auto& info) { return param_name(info.param.label); });

// Several hundred digits, with sign and leading zeros, kept exactly.
TEST(IntFromDecimalLong, SeveralHundredDigitsKeptExactly) {
  std::string digits;
  for (int i = 0; i < 700; ++i) digits.push_back(static_cast<char>('0' + (i * 7 + 3) % 10));
  ASSERT_NE(digits.front(), '0');
  const struct {
    std::string text;
    std::string rendered;
  } rows[] = {
      {digits, digits},
      {"-" + digits, "-" + digits},
      {"000" + digits, digits},
      {"-000" + digits, "-" + digits},
  };
  for (const auto& row : rows) {
    Int value;
    ASSERT_TRUE(Int::from_decimal(row.text, &value));
    EXPECT_EQ(value.to_decimal(), row.rendered) << row.text.substr(0, 10);
    EXPECT_FALSE(value.is_zero());
  }
}

TEST(IntFromDecimalLong, MillionDigitsRenderExactly) {
  constexpr std::size_t kDigits = 1'000'000;
  std::string digits(kDigits, '0');
  for (std::size_t i = 0; i < kDigits; ++i) digits[i] = static_cast<char>('0' + (i * 13 + 9) % 10);
  digits[0] = '9';
  digits[kDigits - 1] = '1';
  digits[kDigits / 2] = '5';

  for (const bool negative : {false, true}) {
    SCOPED_TRACE(negative ? "negative" : "positive");
    Int value;
    ASSERT_TRUE(Int::from_decimal((negative ? "-00" : "00") + digits, &value));
    const std::string text = value.to_decimal();
    const std::size_t sign = negative ? 1 : 0;
    ASSERT_EQ(text.size(), kDigits + sign);
    if (negative) {
      EXPECT_EQ(text[0], '-');
    }
    EXPECT_EQ(text[sign], '9');
    EXPECT_EQ(text[sign + kDigits / 2], '5');
    EXPECT_EQ(text[sign + kDigits - 1], '1');
    EXPECT_EQ(text.substr(sign, 12), digits.substr(0, 12));
    EXPECT_TRUE(text.compare(sign, kDigits, digits) == 0);
    EXPECT_EQ(value.is_negative(), negative);
  }
}

// --------------------------------------------------- refused decimal texts

struct BadDecimalRow {
  std::string label;
  std::string text;
  friend void PrintTo(const BadDecimalRow& r, std::ostream* os) { *os << r.label; }
};

class IntFromDecimalRefuses : public ::testing::TestWithParam<BadDecimalRow> {};

TEST_P(IntFromDecimalRefuses, LeavesTargetUntouched) {
  Int value(std::int64_t{42});
  EXPECT_FALSE(Int::from_decimal(GetParam().text, &value));
  EXPECT_EQ(value.to_decimal(), "42");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, IntFromDecimalRefuses,
    ::testing::Values(BadDecimalRow{"empty", ""}, BadDecimalRow{"lone_minus", "-"},
                      BadDecimalRow{"plus", "+5"}, BadDecimalRow{"leading_space", " 5"},
                      BadDecimalRow{"trailing_space", "5 "}, BadDecimalRow{"exponent", "1e3"},
                      BadDecimalRow{"double_minus", "--1"}, BadDecimalRow{"minus_after", "1-"},
                      BadDecimalRow{"fraction", "1.0"}, BadDecimalRow{"underscore", "1_000"},
                      BadDecimalRow{"minus_space", "- 1"}, BadDecimalRow{"hex", "0x10"},
                      BadDecimalRow{"letter_at_end_of_long", std::string(30, '1') + "a"},
                      BadDecimalRow{"nul_inside", std::string("1\0"
                                                              "2",
                                                              3)},
                      BadDecimalRow{"arabic_indic_three", "\xD9\xA3"},  // U+0663
                      BadDecimalRow{"fullwidth_five", "\xEF\xBC\x95"},  // U+FF15
                      BadDecimalRow{"superscript_two", "-\xC2\xB2"},    // U+00B2
                      BadDecimalRow{"colon_after_nine", "9:"},          // ':' is '9' + 1
                      BadDecimalRow{"slash_before_zero", "/0"}),        // '/' is '0' - 1
    [](const auto& info) { return param_name(info.param.label); });

// ------------------------------------------------------ int64 constructor

TEST(IntFromInt64, BoundariesRenderExactly) {
  const struct {
    std::int64_t v;
    const char* rendered;
  } rows[] = {
      {0, "0"},
      {-1, "-1"},
      {1, "1"},
      {9007199254740991, "9007199254740991"},
      {-9007199254740991, "-9007199254740991"},
      {std::numeric_limits<std::int64_t>::max(), "9223372036854775807"},
      {std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"},
  };
  for (const auto& row : rows) {
    const Int value(row.v);
    EXPECT_EQ(value.to_decimal(), row.rendered);
    EXPECT_EQ(value.is_zero(), row.v == 0) << row.rendered;
    EXPECT_EQ(value.is_negative(), row.v < 0) << row.rendered;
    // Built from text, the same number renders the same way.
    Int from_text;
    ASSERT_TRUE(Int::from_decimal(row.rendered, &from_text));
    EXPECT_EQ(from_text.to_decimal(), value.to_decimal());
  }
  EXPECT_EQ(Int().to_decimal(), "0");
  EXPECT_TRUE(Int().is_zero());
}

// ------------------------------------------------------------- the sum

// kind() must name the alternative actually held, for all ten.
TEST(QuorlValueKind, EachAlternativeReportsItsKind) {
  struct Row {
    QuorlValue value;
    Kind kind;
  };
  Row rows[] = {
      {null_v(), Kind::Null},          {bool_v(true), Kind::Bool}, {int_v(-3), Kind::Int},
      {str_v(""), Kind::Str},          {arr_v(), Kind::Array},     {obj_v(), Kind::Object},
      {float_v(), Kind::Float},        {nan_v(), Kind::NaN},       {inf_v(), Kind::Infinity},
      {lone_v(), Kind::LoneSurrogate},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.value.kind(), row.kind) << dump(row.value);
  }
  EXPECT_TRUE(rows[4].value.is<quorl::Array>());
  EXPECT_FALSE(rows[4].value.is<quorl::Object>());
}

// Moving a value moves the tree: the new owner sees every node, and strings
// holding U+0000 and U+10FFFF are kept byte for byte.
TEST(QuorlValueOwnership, MoveKeepsTheWholeTree) {
  QuorlValue original = arr_v(str_v(std::string("a\0b", 3)), str_v("\xF4\x8F\xBF\xBF"),
                              obj_v(ent("k", big_v("123456789012345678901234567890"))));
  QuorlValue moved(std::move(original));
  EXPECT_EQ(dump(moved),
            "[str:\"a\\x00b\",str:\"\\xF4\\x8F\\xBF\\xBF\",{\"k\":int:"
            "123456789012345678901234567890}]");
}

// A tree 128 containers deep, arrays and objects alternating, is built,
// walked to the bottom and destroyed.
TEST(QuorlValueOwnership, DeepTreeIsWholeAndDestroyed) {
  QuorlValue v = int_v(1);
  for (int i = 0; i < 128; ++i) {
    v = (i % 2 == 0) ? arr_v(std::move(v)) : obj_v(ent("k", std::move(v)));
  }
  std::size_t depth = 0;
  const QuorlValue* p = &v;
  while (true) {
    if (p->is<quorl::Array>()) {
      p = &p->as<quorl::Array>().items.at(0);
    } else if (p->is<quorl::Object>()) {
      p = &p->as<quorl::Object>().entries.at(0).value;
    } else {
      break;
    }
    ++depth;
  }
  EXPECT_EQ(depth, 128u);
  EXPECT_EQ(dump(*p), "int:1");
  v = null_v();  // drops the old tree
  EXPECT_EQ(dump(v), "null");
}

}  // namespace
