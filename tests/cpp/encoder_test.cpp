// The canonical encoder: exact bytes for every alternative, the string
// escapes, key order, duplicate keys, the depth limit, the order in which
// failures are met, and encode_object's skipping of "digest".
#include "core/exact/encoder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "test_support.h"

namespace {

using quorl::compare_code_points;
using quorl::encode_object;
using quorl::encode_string;
using quorl::encode_value;
using quorl::Order;
using quorl::QuorlValue;
using namespace qtest;

Outcome encode(const QuorlValue& v, std::size_t depth = 0) {
  return outcome(encode_value(v, depth));
}

// ------------------------------------------------------- worked example

TEST(EncoderWorkedExample, SixtyFourBytes) {
  // Stored order b, a, é, A; the inner object z before y.
  const QuorlValue v =
      obj_v(ent("b", arr_v(int_v(1), int_v(-20), bool_v(true))), ent("a", str_v("x\"y\n")),
            ent("\xC3\xA9", null_v()), ent("A", obj_v(ent("z", int_v(0)), ent("y", str_v("")))));
  const std::string expected =
      "{\"A\":{\"y\":\"\",\"z\":0},\"a\":\"x\\\"y\\u000a\",\"b\":[1,-20,true],\"\xC3\xA9\":null}";
  ASSERT_EQ(expected.size(), 64u);
  EXPECT_EQ(encode(v), Ok(expected));
}

// ------------------------------------------------------- scalars

struct ValueRow {
  std::string label;
  QuorlValue (*make)();
  Outcome expected;
  friend void PrintTo(const ValueRow& r, std::ostream* os) { *os << r.label; }
};

class EncodeValueRows : public ::testing::TestWithParam<ValueRow> {};

TEST_P(EncodeValueRows, Bytes) {
  const ValueRow& row = GetParam();
  EXPECT_EQ(encode(row.make()), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Scalars, EncodeValueRows,
    ::testing::Values(
        ValueRow{"null", [] { return null_v(); }, Ok("null")},
        ValueRow{"true", [] { return bool_v(true); }, Ok("true")},
        ValueRow{"false", [] { return bool_v(false); }, Ok("false")},
        ValueRow{"int_zero", [] { return int_v(0); }, Ok("0")},
        ValueRow{"int_minus_five", [] { return int_v(-5); }, Ok("-5")},
        ValueRow{"int_2_53_plus_1", [] { return big_v("9007199254740993"); },
                 Ok("9007199254740993")},
        ValueRow{"int_minus_40_digits",
                 [] { return big_v("-1234567890123456789012345678901234567890"); },
                 Ok("-1234567890123456789012345678901234567890")},
        ValueRow{"int_int64_min", [] { return int_v(std::numeric_limits<std::int64_t>::min()); },
                 Ok("-9223372036854775808")},
        ValueRow{"int_from_minus_zeros", [] { return big_v("-0000"); }, Ok("0")},
        ValueRow{"empty_string", [] { return str_v(""); }, Ok("\"\"")},
        ValueRow{"empty_array", [] { return arr_v(); }, Ok("[]")},
        ValueRow{"empty_object", [] { return obj_v(); }, Ok("{}")},
        ValueRow{"array_keeps_stored_order",
                 [] { return arr_v(int_v(3), int_v(1), int_v(2), null_v(), arr_v()); },
                 Ok("[3,1,2,null,[]]")}),
    [](const auto& info) { return param_name(info.param.label); });

// ------------------------------------------------------- string form

struct EscapeRow {
  std::string label;
  std::string text;
  std::string expected;  // full string form, quotes included
  friend void PrintTo(const EscapeRow& r, std::ostream* os) { *os << r.label; }
};

class StringForm : public ::testing::TestWithParam<EscapeRow> {};

TEST_P(StringForm, AsStrAndAsKey) {
  const EscapeRow& row = GetParam();
  EXPECT_EQ(encode_string(row.text), row.expected);
  EXPECT_EQ(encode(str_v(row.text)), Ok(row.expected));
  // A key uses the same form.
  EXPECT_EQ(encode(obj_v(ent(row.text, int_v(1)))), Ok("{" + row.expected + ":1}"));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StringForm,
    ::testing::Values(
        EscapeRow{"empty", "", "\"\""}, EscapeRow{"nul", std::string(1, '\0'), "\"\\u0000\""},
        EscapeRow{"u0001", "\x01", "\"\\u0001\""},
        EscapeRow{"backspace_no_short_escape", "\b", "\"\\u0008\""},
        EscapeRow{"tab", "\t", "\"\\u0009\""}, EscapeRow{"line_feed", "\n", "\"\\u000a\""},
        EscapeRow{"form_feed_no_short_escape", "\f", "\"\\u000c\""},
        EscapeRow{"carriage_return", "\r", "\"\\u000d\""},
        EscapeRow{"escape_u001b", "\x1B", "\"\\u001b\""}, EscapeRow{"u001f", "\x1F", "\"\\u001f\""},
        EscapeRow{"space_plain", " ", "\" \""}, EscapeRow{"quote", "\"", "\"\\\"\""},
        EscapeRow{"backslash", "\\", "\"\\\\\""}, EscapeRow{"solidus_plain", "/", "\"/\""},
        EscapeRow{"del_u007f_raw_one_byte", "\x7F", "\"\x7F\""},
        EscapeRow{"c1_u0080_raw", "\xC2\x80", "\"\xC2\x80\""},
        EscapeRow{"c1_u009f_raw", "\xC2\x9F", "\"\xC2\x9F\""},
        EscapeRow{"u2028_raw_three_bytes", "\xE2\x80\xA8", "\"\xE2\x80\xA8\""},
        EscapeRow{"u2029_raw", "\xE2\x80\xA9", "\"\xE2\x80\xA9\""},
        EscapeRow{"u1f600_raw_four_bytes", "\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},
        EscapeRow{"u10ffff_raw", "\xF4\x8F\xBF\xBF", "\"\xF4\x8F\xBF\xBF\""},
        EscapeRow{"worked_example_text", "x\"y\n", "\"x\\\"y\\u000a\""},
        EscapeRow{"all_three_kinds", std::string("a\\b\"c\0d", 7), "\"a\\\\b\\\"c\\u0000d\""},
        EscapeRow{"backslash_u_stays_literal", "\\u0041", "\"\\\\u0041\""},
        EscapeRow{"nine_plain_then_quote", "abcdefghi\"", "\"abcdefghi\\\"\""},
        EscapeRow{"eight_controls", "\x01\x02\x03\x04\x05\x06\x07\x08",
                  "\"\\u0001\\u0002\\u0003\\u0004\\u0005\\u0006\\u0007\\u0008\""}),
    [](const auto& info) { return param_name(info.param.label); });

// Every special byte at every offset 0..20 in plain text of several lengths,
// so that escapes fall before, on and after each 8-byte word boundary.
TEST(StringFormOffsets, SpecialAtEveryOffset) {
  const char specials[] = {'\0', '\x01', '\t', '\n', '\x1F', '"', '\\', ' ', '\x7F', '/', '!', '#'};
  const std::string fillers[] = {"a", "\xC3\xA9" /* é */, "\xF0\x9F\x98\x80" /* U+1F600 */};
  for (const std::string& filler : fillers) {
    for (std::size_t len = 1; len <= 24; ++len) {
      for (std::size_t at = 0; at < len && at <= 20; ++at) {
        for (char special : specials) {
          // `at` counts characters; with a one-byte filler it is the byte offset.
          std::string text;
          for (std::size_t k = 0; k < len; ++k) {
            if (k == at) {
              text.push_back(special);
            } else {
              text += filler;
            }
          }
          ASSERT_EQ(encode_string(text), reference_string_form(text))
              << "filler " << quote_bytes(filler) << " len " << len << " at " << at << " byte "
              << static_cast<int>(static_cast<unsigned char>(special));
        }
      }
    }
  }
}

// Two escapes in one text at every pair of offsets below 20.
TEST(StringFormOffsets, TwoSpecialsAtEveryPairOfOffsets) {
  for (std::size_t len = 2; len <= 20; ++len) {
    for (std::size_t i = 0; i < len; ++i) {
      for (std::size_t j = i + 1; j < len; ++j) {
        std::string text(len, 'q');
        text[i] = '\x1F';
        text[j] = '"';
        ASSERT_EQ(encode_string(text), reference_string_form(text))
            << "len " << len << " at " << i << "," << j;
        text[i] = '\\';
        text[j] = '\0';
        ASSERT_EQ(encode_string(text), reference_string_form(text))
            << "len " << len << " at " << i << "," << j;
      }
    }
  }
}

// Pseudo-random mixtures of plain, escaped and multi-byte characters.
TEST(StringFormOffsets, MixedTextsMatchReference) {
  const std::string alphabet[] = {
      "a",    " ",        "\"",       "\\",           std::string(1, '\0'), "\x1F",
      "\x7F", "\x20",     "\xC3\xA9", "\xE2\x80\xA8", "\xF0\x9F\x98\x80",   "/",
      "\n",   "\xC2\x9F", "zzzzzzz"};
  constexpr std::size_t kAlphabet = sizeof alphabet / sizeof alphabet[0];
  std::uint32_t state = 12345;
  auto next = [&state] {
    state = state * 1103515245u + 12345u;
    return (state >> 16) & 0x7FFF;
  };
  for (int n = 0; n < 600; ++n) {
    std::string text;
    const std::size_t count = next() % 41;
    for (std::size_t k = 0; k < count; ++k) text += alphabet[next() % kAlphabet];
    ASSERT_EQ(encode_string(text), reference_string_form(text)) << quote_bytes(text);
  }
}

// ------------------------------------------------------- key order

struct KeyOrderRow {
  std::string label;
  std::vector<std::string> stored;  // keys in stored order; value = index
  std::string expected;
  friend void PrintTo(const KeyOrderRow& r, std::ostream* os) { *os << r.label; }
};

class KeyOrder : public ::testing::TestWithParam<KeyOrderRow> {};

TEST_P(KeyOrder, MembersSortedByCodePoint) {
  const KeyOrderRow& row = GetParam();
  quorl::Object object;
  for (std::size_t i = 0; i < row.stored.size(); ++i) {
    object.entries.push_back(ent(row.stored[i], int_v(static_cast<std::int64_t>(i))));
  }
  EXPECT_EQ(encode(QuorlValue(std::move(object))), Ok(row.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, KeyOrder,
    ::testing::Values(
        KeyOrderRow{
            "upper_before_lower", {"b", "a", "B", "A"}, "{\"A\":3,\"B\":2,\"a\":1,\"b\":0}"},
        KeyOrderRow{"prefix_first", {"aa", "a"}, "{\"a\":1,\"aa\":0}"},
        KeyOrderRow{"prefix_first_when_sorted", {"a", "aa"}, "{\"a\":0,\"aa\":1}"},
        KeyOrderRow{"empty_key_first", {"a", ""}, "{\"\":1,\"a\":0}"},
        KeyOrderRow{"code_point_order_not_utf16",
                    {"\xF0\x9F\x98\x80", "\xEE\x80\x80", "\xC3\xA9", "z"},
                    "{\"z\":3,\"\xC3\xA9\":2,\"\xEE\x80\x80\":1,\"\xF0\x9F\x98\x80\":0}"},
        KeyOrderRow{"already_ascending", {"a", "b", "c"}, "{\"a\":0,\"b\":1,\"c\":2}"},
        KeyOrderRow{
            "out_of_order_in_middle", {"a", "c", "b", "d"}, "{\"a\":0,\"b\":2,\"c\":1,\"d\":3}"},
        // Unsigned bytes: U+007F (0x7F) before U+0080 (0xC2 0x80).
        KeyOrderRow{"del_before_u0080", {"\xC2\x80", "\x7F"}, "{\"\x7F\":1,\"\xC2\x80\":0}"},
        KeyOrderRow{"del_before_u0080_sorted", {"\x7F", "\xC2\x80"}, "{\"\x7F\":0,\"\xC2\x80\":1}"},
        // No normalisation: e + U+0301 is another key than U+00E9, and sorts first.
        KeyOrderRow{"decomposed_before_precomposed",
                    {"\xC3\xA9", "e\xCC\x81"},
                    "{\"e\xCC\x81\":1,\"\xC3\xA9\":0}"},
        KeyOrderRow{"nul_in_key",
                    {std::string("a\0", 2), "a", std::string("a\x01", 2)},
                    "{\"a\":1,\"a\\u0000\":0,\"a\\u0001\":2}"},
        KeyOrderRow{"escaped_keys_sort_by_raw_bytes",
                    {"\\", "\"", "#"},
                    "{\"\\\"\":1,\"#\":2,\"\\\\\":0}"}),
    [](const auto& info) { return param_name(info.param.label); });

struct CompareRow {
  std::string a;
  std::string b;
  Order expected;
};

TEST(CompareCodePoints, Rows) {
  const CompareRow rows[] = {
      {"", "", Order::Equal},
      {"", "a", Order::Less},
      {"a", "aa", Order::Less},
      {"abc", "abc", Order::Equal},
      {"A", "a", Order::Less},
      {"B", "a", Order::Less},
      {"z", "\xC3\xA9", Order::Less},
      {"\xC3\xA9", "\xEE\x80\x80", Order::Less},
      {"\xEE\x80\x80", "\xF0\x9F\x98\x80", Order::Less},
      {"\x7F", "\xC2\x80", Order::Less},
      {"e\xCC\x81", "\xC3\xA9", Order::Less},
      {"\xC3\xA9", "\xC3\xA9", Order::Equal},
      {"a", std::string("a\0", 2), Order::Less},
      {std::string("a\0", 2), std::string("a\x01", 2), Order::Less},
      {std::string("\0", 1), "", Order::Greater},
      {"\xF4\x8F\xBF\xBF", "\xF0\x9F\x98\x80", Order::Greater},
      {"ab", "b", Order::Less},
  };
  auto flip = [](Order o) {
    return o == Order::Less ? Order::Greater : (o == Order::Greater ? Order::Less : Order::Equal);
  };
  for (const CompareRow& row : rows) {
    EXPECT_EQ(compare_code_points(row.a, row.b), row.expected)
        << quote_bytes(row.a) << " vs " << quote_bytes(row.b);
    EXPECT_EQ(compare_code_points(row.b, row.a), flip(row.expected))
        << quote_bytes(row.b) << " vs " << quote_bytes(row.a);
  }
}

// ------------------------------------------------------- failures

INSTANTIATE_TEST_SUITE_P(
    Failures, EncodeValueRows,
    ::testing::Values(
        ValueRow{"float", [] { return float_v(); }, Err(kFloatMsg)},
        ValueRow{"nan", [] { return nan_v(); }, Err(kNaNMsg)},
        ValueRow{"infinity", [] { return inf_v(); }, Err(kInfinityMsg)},
        ValueRow{"lone_surrogate", [] { return lone_v(); }, Err(kLoneSurrogateMsg)},
        // Duplicates, refused before any value is looked at.
        ValueRow{"duplicate_keys", [] { return obj_v(ent("k", int_v(1)), ent("k", int_v(2))); },
                 Err(kDuplicateMsg)},
        ValueRow{"duplicate_check_precedes_float_value",
                 [] { return obj_v(ent("k", float_v()), ent("k", int_v(1))); }, Err(kDuplicateMsg)},
        ValueRow{"duplicate_after_sorted_prefix",
                 [] { return obj_v(ent("a", float_v()), ent("b", int_v(1)), ent("b", int_v(2))); },
                 Err(kDuplicateMsg)},
        ValueRow{"duplicate_apart_in_stored_order",
                 [] {
                   return obj_v(ent("m", int_v(1)), ent("a", nan_v()), ent("z", int_v(2)),
                                ent("m", int_v(3)));
                 },
                 Err(kDuplicateMsg)},
        ValueRow{"duplicate_empty_keys", [] { return obj_v(ent("", int_v(1)), ent("", int_v(1))); },
                 Err(kDuplicateMsg)},
        ValueRow{"duplicate_in_nested_object",
                 [] {
                   return arr_v(int_v(1),
                                obj_v(ent("x", null_v()), ent("y", null_v()), ent("x", null_v())));
                 },
                 Err(kDuplicateMsg)},
        ValueRow{"keys_equal_only_up_to_nul_are_distinct",
                 [] { return obj_v(ent("a", int_v(1)), ent(std::string("a\0", 2), int_v(2))); },
                 Ok("{\"a\":1,\"a\\u0000\":2}")},
        // First failure in traversal order.
        ValueRow{"array_float_then_nan", [] { return arr_v(float_v(), nan_v()); }, Err(kFloatMsg)},
        ValueRow{"array_nan_then_float", [] { return arr_v(nan_v(), float_v()); }, Err(kNaNMsg)},
        ValueRow{"array_ok_then_lone_surrogate", [] { return arr_v(int_v(1), lone_v(), nan_v()); },
                 Err(kLoneSurrogateMsg)},
        ValueRow{"object_sorted_key_decides",
                 [] { return obj_v(ent("b", nan_v()), ent("a", inf_v())); }, Err(kInfinityMsg)},
        ValueRow{"object_z_before_e_acute",
                 [] { return obj_v(ent("\xC3\xA9", nan_v()), ent("z", float_v())); },
                 Err(kFloatMsg)},
        ValueRow{"nested_failure_before_later_sibling",
                 [] { return arr_v(arr_v(int_v(1), inf_v()), float_v()); }, Err(kInfinityMsg)},
        ValueRow{"duplicate_in_later_member_after_marker",
                 [] {
                   return obj_v(ent("a", nan_v()),
                                ent("b", obj_v(ent("k", int_v(1)), ent("k", int_v(1)))));
                 },
                 Err(kNaNMsg)},
        ValueRow{"depth_before_float_inside", [] { return nest_arrays(129, float_v()); },
                 Err(kDepthMsg)},
        ValueRow{"float_at_depth_128_is_float", [] { return nest_arrays(128, float_v()); },
                 Err(kFloatMsg)},
        ValueRow{"depth_before_duplicate",
                 [] { return nest_arrays(128, obj_v(ent("k", int_v(1)), ent("k", int_v(2)))); },
                 Err(kDepthMsg)},
        ValueRow{"duplicate_at_depth_127",
                 [] { return nest_arrays(127, obj_v(ent("k", int_v(1)), ent("k", int_v(2)))); },
                 Err(kDuplicateMsg)}),
    [](const auto& info) { return param_name(info.param.label); });

// ------------------------------------------------------- depth

INSTANTIATE_TEST_SUITE_P(
    Depth, EncodeValueRows,
    ::testing::Values(
        ValueRow{"arrays_128_around_scalar", [] { return nest_arrays(128, int_v(7)); },
                 Ok(repeat("[", 128) + "7" + repeat("]", 128))},
        ValueRow{"arrays_129_around_scalar", [] { return nest_arrays(129, int_v(7)); },
                 Err(kDepthMsg)},
        ValueRow{"arrays_128_innermost_empty_array", [] { return nest_arrays(128, arr_v()); },
                 Err(kDepthMsg)},
        ValueRow{"arrays_128_innermost_empty_object", [] { return nest_arrays(128, obj_v()); },
                 Err(kDepthMsg)},
        ValueRow{"arrays_127_innermost_empty_array", [] { return nest_arrays(127, arr_v()); },
                 Ok(repeat("[", 128) + repeat("]", 128))},
        ValueRow{"arrays_127_innermost_empty_object", [] { return nest_arrays(127, obj_v()); },
                 Ok(repeat("[", 127) + "{}" + repeat("]", 127))},
        ValueRow{"arrays_128_around_string", [] { return nest_arrays(128, str_v("s")); },
                 Ok(repeat("[", 128) + "\"s\"" + repeat("]", 128))},
        ValueRow{"objects_128_around_scalar", [] { return nest_objects(128, null_v()); },
                 Ok(repeat("{\"k\":", 128) + "null" + repeat("}", 128))},
        ValueRow{"objects_129_around_scalar", [] { return nest_objects(129, null_v()); },
                 Err(kDepthMsg)},
        ValueRow{"objects_128_innermost_empty_object", [] { return nest_objects(128, obj_v()); },
                 Err(kDepthMsg)},
        ValueRow{"deep_branch_after_shallow_ones",
                 [] { return arr_v(int_v(1), arr_v(), nest_arrays(128, int_v(2))); },
                 Err(kDepthMsg)}),
    [](const auto& info) { return param_name(info.param.label); });

// encode_value's starting depth: containers test their own depth, scalars
// never do.
TEST(EncoderDepth, StartingDepth) {
  EXPECT_EQ(encode(arr_v(), 127), Ok("[]"));
  EXPECT_EQ(encode(arr_v(), 128), Err(kDepthMsg));
  EXPECT_EQ(encode(obj_v(), 127), Ok("{}"));
  EXPECT_EQ(encode(obj_v(), 128), Err(kDepthMsg));
  EXPECT_EQ(encode(arr_v(int_v(1)), 127), Ok("[1]"));
  EXPECT_EQ(encode(arr_v(arr_v()), 127), Err(kDepthMsg));
  EXPECT_EQ(encode(int_v(5), 1000), Ok("5"));
  EXPECT_EQ(encode(str_v("x"), 1000), Ok("\"x\""));
  EXPECT_EQ(encode(nan_v(), 1000), Err(kNaNMsg));
}

// ------------------------------------------------------- encode_object

struct ObjectRow {
  std::string label;
  std::vector<QuorlEntry> (*make)();
  std::size_t depth;
  bool skip_digest_key;
  Outcome expected;
  friend void PrintTo(const ObjectRow& r, std::ostream* os) { *os << r.label; }
};

class EncodeObject : public ::testing::TestWithParam<ObjectRow> {};

TEST_P(EncodeObject, Bytes) {
  const ObjectRow& row = GetParam();
  const std::vector<QuorlEntry> es = row.make();
  EXPECT_EQ(outcome(encode_object(es, row.depth, row.skip_digest_key)), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, EncodeObject,
    ::testing::Values(
        ObjectRow{"skip_leaves_float_unread",
                  [] { return entries(ent("digest", float_v()), ent("a", int_v(1))); }, 1, true,
                  Ok("{\"a\":1}")},
        ObjectRow{"no_skip_reads_float",
                  [] { return entries(ent("digest", float_v()), ent("a", int_v(1))); }, 1, false,
                  Err(kFloatMsg)},
        ObjectRow{"no_skip_keeps_digest",
                  [] { return entries(ent("digest", int_v(9)), ent("a", int_v(1))); }, 1, false,
                  Ok("{\"a\":1,\"digest\":9}")},
        ObjectRow{"capital_Digest_kept",
                  [] { return entries(ent("Digest", int_v(1)), ent("digest", nan_v())); }, 1, true,
                  Ok("{\"Digest\":1}")},
        ObjectRow{"digest_space_kept", [] { return entries(ent("digest ", int_v(1))); }, 1, true,
                  Ok("{\"digest \":1}")},
        ObjectRow{"digest_space_float_read", [] { return entries(ent("digest ", float_v())); }, 1,
                  true, Err(kFloatMsg)},
        ObjectRow{"near_digest_keys_kept",
                  [] {
                    return entries(ent("digests", int_v(1)), ent("diges", int_v(2)),
                                   ent("DIGEST", int_v(3)), ent(" digest", int_v(4)),
                                   ent(std::string("digest\0", 7), int_v(5)));
                  },
                  1, true,
                  Ok("{\" digest\":4,\"DIGEST\":3,\"diges\":2,\"digest\\u0000\":5,\"digests\":1}")},
        ObjectRow{"two_digest_entries_skipped_no_duplicate",
                  [] {
                    return entries(ent("digest", int_v(1)), ent("b", int_v(2)),
                                   ent("digest", int_v(3)));
                  },
                  1, true, Ok("{\"b\":2}")},
        ObjectRow{"two_digest_entries_without_skip_duplicate",
                  [] {
                    return entries(ent("digest", int_v(1)), ent("b", int_v(2)),
                                   ent("digest", int_v(3)));
                  },
                  1, false, Err(kDuplicateMsg)},
        ObjectRow{"only_digest_gives_empty", [] { return entries(ent("digest", nan_v())); }, 1,
                  true, Ok("{}")},
        ObjectRow{"two_only_digest_gives_empty",
                  [] { return entries(ent("digest", nan_v()), ent("digest", inf_v())); }, 1, true,
                  Ok("{}")},
        ObjectRow{"no_entries", [] { return entries(); }, 1, true, Ok("{}")},
        ObjectRow{"no_entries_no_skip", [] { return entries(); }, 0, false, Ok("{}")},
        ObjectRow{"skip_then_sort",
                  [] {
                    return entries(ent("z", int_v(1)), ent("digest", nan_v()), ent("b", int_v(2)),
                                   ent("digest", float_v()));
                  },
                  1, true, Ok("{\"b\":2,\"z\":1}")},
        ObjectRow{"skip_is_for_this_object_only",
                  [] {
                    return entries(ent("a", obj_v(ent("digest", int_v(1)))),
                                   ent("digest", int_v(2)));
                  },
                  1, true, Ok("{\"a\":{\"digest\":1}}")},
        ObjectRow{"nested_digest_marker_is_read",
                  [] { return entries(ent("a", obj_v(ent("digest", nan_v())))); }, 1, true,
                  Err(kNaNMsg)},
        ObjectRow{
            "duplicates_besides_digest_still_refused",
            [] { return entries(ent("k", int_v(1)), ent("digest", int_v(0)), ent("k", int_v(2))); },
            1, true, Err(kDuplicateMsg)},
        // No depth test of its own; the member values are encoded at `depth`.
        ObjectRow{"no_own_depth_test", [] { return entries(ent("a", int_v(1))); }, 500, false,
                  Ok("{\"a\":1}")},
        ObjectRow{"member_container_at_128", [] { return entries(ent("a", arr_v())); }, 128, false,
                  Err(kDepthMsg)},
        ObjectRow{"member_container_at_127", [] { return entries(ent("a", arr_v())); }, 127, false,
                  Ok("{\"a\":[]}")},
        ObjectRow{"root_depth_1_allows_127_more",
                  [] { return entries(ent("a", nest_arrays(126, arr_v()))); }, 1, true,
                  Ok(cat("{\"a\":", repeat("[", 127), repeat("]", 127), "}"))},
        ObjectRow{"root_depth_1_refuses_128_more",
                  [] { return entries(ent("a", nest_arrays(127, arr_v()))); }, 1, true,
                  Err(kDepthMsg)}),
    [](const auto& info) { return param_name(info.param.label); });

// ------------------------------------------------------- messages

// Each message's exact bytes and length, as produced by encoding.
TEST(EncoderMessages, ExactTextsAndLengths) {
  struct Row {
    QuorlValue value;
    std::string_view text;
    std::size_t length;
  };
  Row rows[] = {
      {nest_arrays(129, null_v()), "nesting depth exceeds the maximum of 128", 40},
      {obj_v(ent("k", null_v()), ent("k", null_v())), "duplicate object key in canonical content",
       41},
      {float_v(), "floats are forbidden in canonical content; pre-represent as int or string", 73},
      {nan_v(), "NaN is forbidden in canonical content", 37},
      {inf_v(), "Infinity is forbidden in canonical content", 42},
      {lone_v(), "unpaired surrogate U+D800 is not allowed in canonical content", 61},
  };
  for (const Row& row : rows) {
    const auto r = encode_value(row.value, 0);
    ASSERT_FALSE(r.ok()) << row.text;
    EXPECT_EQ(r.error().message, row.text);
    EXPECT_EQ(r.error().message.size(), row.length) << row.text;
  }
}

}  // namespace
