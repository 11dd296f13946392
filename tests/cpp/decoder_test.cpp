// The tagged-JSON decoder over hand-built trees: plain values, the exact
// integer bound, every tag key and its payload rule, depth accounting
// (wrappers and payloads as one level), the test-vector key, and which
// failure comes first.
#include "core/exact/decoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "test_support.h"

namespace {

using quorl::decode;
using quorl::decode_entries;
using quorl::decode_items;
using quorl::parse_int_payload;
using namespace qtest;

struct DecodeRow {
  std::string label;
  json::JsonTree tree;
  Outcome expected;  // Ok(dump of the value) or Err(message)
  bool allow_test_vectors = false;
  friend void PrintTo(const DecodeRow& r, std::ostream* os) { *os << r.label; }
};

class Decode : public ::testing::TestWithParam<DecodeRow> {};

TEST_P(Decode, AtRoot) {
  const DecodeRow& row = GetParam();
  EXPECT_EQ(outcome(decode(row.tree, 0, row.allow_test_vectors)), row.expected);
}

auto row_name = [](const auto& info) { return param_name(info.param.label); };

constexpr std::uint64_t kUint64Max = std::numeric_limits<std::uint64_t>::max();
constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();

// ------------------------------------------------------- plain values

INSTANTIATE_TEST_SUITE_P(
    Plain, Decode,
    ::testing::Values(
        DecodeRow{"null", jnull(), Ok("null")}, DecodeRow{"true", jbool(true), Ok("true")},
        DecodeRow{"false", jbool(false), Ok("false")},
        DecodeRow{"string", jstr("abc"), Ok("str:\"abc\"")},
        DecodeRow{"string_with_nul", jstr(std::string("a\0b", 3)), Ok("str:\"a\\x00b\"")},
        DecodeRow{"empty_string", jstr(""), Ok("str:\"\"")},
        DecodeRow{"empty_array", jarr(), Ok("[]")}, DecodeRow{"empty_object", jobj(), Ok("{}")},
        DecodeRow{"array_order_kept", jarr(jpos(3), jpos(1), jnull()), Ok("[int:3,int:1,null]")},
        DecodeRow{"object_members_in_key_order",
                  jobj(jmem("b", jpos(1)), jmem("a", jpos(2)), jmem("B", jbool(true))),
                  Ok("{\"B\":true,\"a\":int:2,\"b\":int:1}")},
        DecodeRow{"one_member_ordinary_key", jobj(jmem("a", jpos(1))), Ok("{\"a\":int:1}")},
        DecodeRow{"nested_containers", jarr(jobj(jmem("x", jarr(jstr("y")))), jarr(jarr())),
                  Ok("[{\"x\":[str:\"y\"]},[[]]]")}),
    row_name);

// ------------------------------------------------------- numbers

INSTANTIATE_TEST_SUITE_P(
    Numbers, Decode,
    ::testing::Values(
        DecodeRow{"posint_zero", jpos(0), Ok("int:0")},
        DecodeRow{"posint_max_exact", jpos(9007199254740991ULL), Ok("int:9007199254740991")},
        DecodeRow{"posint_max_exact_plus_1", jpos(9007199254740992ULL), Err(kBareIntMsg)},
        DecodeRow{"posint_2_63", jpos(9223372036854775808ULL), Err(kBareIntMsg)},
        DecodeRow{"posint_uint64_max", jpos(kUint64Max), Err(kBareIntMsg)},
        DecodeRow{"negint_minus_one", jneg(-1), Ok("int:-1")},
        DecodeRow{"negint_min_exact", jneg(-9007199254740991LL), Ok("int:-9007199254740991")},
        DecodeRow{"negint_min_exact_minus_1", jneg(-9007199254740992LL), Err(kBareIntMsg)},
        DecodeRow{"negint_int64_min", jneg(kInt64Min), Err(kBareIntMsg)},
        // Integral doubles beyond the bound name an integer that wants a tag.
        DecodeRow{"double_2_53", jdbl(9007199254740992.0), Err(kBareIntMsg)},
        DecodeRow{"double_minus_2_53", jdbl(-9007199254740992.0), Err(kBareIntMsg)},
        DecodeRow{"double_1e300", jdbl(1e300), Err(kBareIntMsg)},
        DecodeRow{"double_minus_1e300", jdbl(-1e300), Err(kBareIntMsg)},
        DecodeRow{"double_2_64", jdbl(18446744073709551616.0), Err(kBareIntMsg)},
        DecodeRow{"double_max", jdbl(std::numeric_limits<double>::max()), Err(kBareIntMsg)},
        // Every other double is a Float marker, never an Int.
        DecodeRow{"double_max_exact", jdbl(9007199254740991.0), Ok("Float")},
        DecodeRow{"double_minus_max_exact", jdbl(-9007199254740991.0), Ok("Float")},
        DecodeRow{"double_100", jdbl(100.0), Ok("Float")},
        DecodeRow{"double_2", jdbl(2.0), Ok("Float")},
        DecodeRow{"double_half", jdbl(0.5), Ok("Float")},
        DecodeRow{"double_zero", jdbl(0.0), Ok("Float")},
        DecodeRow{"double_minus_zero", jdbl(-0.0), Ok("Float")},
        DecodeRow{"double_smallest_subnormal", jdbl(std::numeric_limits<double>::denorm_min()),
                  Ok("Float")},
        DecodeRow{"double_fraction_near_2_52", jdbl(4503599627370495.5), Ok("Float")}),
    row_name);

// ------------------------------------------------------- tags

INSTANTIATE_TEST_SUITE_P(
    IntTag, Decode,
    ::testing::Values(
        DecodeRow{"int_small", jtag("$int", jstr("123")), Ok("int:123")},
        DecodeRow{"int_thirty_digits", jtag("$int", jstr("123456789012345678901234567890")),
                  Ok("int:123456789012345678901234567890")},
        DecodeRow{"int_negative_thirty_digits",
                  jtag("$int", jstr("-987654321098765432109876543210")),
                  Ok("int:-987654321098765432109876543210")},
        DecodeRow{"int_beyond_bound_is_fine_tagged", jtag("$int", jstr("9007199254740992")),
                  Ok("int:9007199254740992")},
        DecodeRow{"int_minus_zero", jtag("$int", jstr("-0")), Ok("int:0")},
        DecodeRow{"int_zeros", jtag("$int", jstr("000")), Ok("int:0")},
        DecodeRow{"int_minus_zeros", jtag("$int", jstr("-0000")), Ok("int:0")},
        DecodeRow{"int_leading_zeros", jtag("$int", jstr("-0012")), Ok("int:-12")},
        DecodeRow{"int_plus", jtag("$int", jstr("+5")), Err(kIntPayloadMsg)},
        DecodeRow{"int_empty", jtag("$int", jstr("")), Err(kIntPayloadMsg)},
        DecodeRow{"int_lone_minus", jtag("$int", jstr("-")), Err(kIntPayloadMsg)},
        DecodeRow{"int_space", jtag("$int", jstr(" 5")), Err(kIntPayloadMsg)},
        DecodeRow{"int_trailing_space", jtag("$int", jstr("5 ")), Err(kIntPayloadMsg)},
        DecodeRow{"int_exponent", jtag("$int", jstr("1e3")), Err(kIntPayloadMsg)},
        DecodeRow{"int_double_minus", jtag("$int", jstr("--1")), Err(kIntPayloadMsg)},
        DecodeRow{"int_fraction", jtag("$int", jstr("1.0")), Err(kIntPayloadMsg)},
        DecodeRow{"int_underscore", jtag("$int", jstr("1_000")), Err(kIntPayloadMsg)},
        DecodeRow{"int_arabic_indic", jtag("$int", jstr("\xD9\xA3")), Err(kIntPayloadMsg)},
        DecodeRow{"int_number_payload", jtag("$int", jpos(5)), Err(kIntPayloadMsg)},
        DecodeRow{"int_null_payload", jtag("$int", jnull()), Err(kIntPayloadMsg)},
        DecodeRow{"int_array_payload", jtag("$int", jarr(jstr("5"))), Err(kIntPayloadMsg)},
        DecodeRow{"int_tagged_payload", jtag("$int", jtag("$str", jstr("5"))),
                  Err(kIntPayloadMsg)}),
    row_name);

INSTANTIATE_TEST_SUITE_P(
    MarkerTags, Decode,
    ::testing::Values(
        // The payload is never looked at, even when it would fail on its own.
        DecodeRow{"nan_null", jtag("$nan", jnull()), Ok("NaN")},
        DecodeRow{"nan_bad_int_payload", jtag("$nan", jtag("$int", jstr("x"))), Ok("NaN")},
        DecodeRow{"nan_huge_number", jtag("$nan", jpos(kUint64Max)), Ok("NaN")},
        DecodeRow{"inf_string", jtag("$inf", jstr("x")), Ok("Infinity")},
        DecodeRow{"inf_deep_payload", jtag("$inf", jnest_arrays(300, jnull())), Ok("Infinity")},
        DecodeRow{"float_array", jtag("$float", jarr(jpos(1), jpos(2))), Ok("Float")},
        DecodeRow{"float_double", jtag("$float", jdbl(0.5)), Ok("Float")},
        DecodeRow{"float_bad_null_payload", jtag("$float", jtag("$null", jbool(false))),
                  Ok("Float")}),
    row_name);

INSTANTIATE_TEST_SUITE_P(
    PayloadTags, Decode,
    ::testing::Values(
        DecodeRow{"str_string", jtag("$str", jstr("abc")), Ok("str:\"abc\"")},
        DecodeRow{"str_looks_tagged", jtag("$str", jstr("{\"$int\":\"1\"}")),
                  Ok("str:\"{\\\"$int\\\":\\\"1\\\"}\"")},
        DecodeRow{"str_empty", jtag("$str", jstr("")), Ok("str:\"\"")},
        DecodeRow{"str_number", jtag("$str", jpos(1)), Err(kStrPayloadMsg)},
        DecodeRow{"str_null", jtag("$str", jnull()), Err(kStrPayloadMsg)},
        DecodeRow{"str_tagged_str", jtag("$str", jtag("$str", jstr("x"))), Err(kStrPayloadMsg)},
        DecodeRow{"obj_empty", jtag("$obj", jobj()), Ok("{}")},
        DecodeRow{"obj_payload_tag_key_is_ordinary", jtag("$obj", jtag("$int", jstr("5"))),
                  Ok("{\"$int\":str:\"5\"}")},
        DecodeRow{"obj_payload_member_values_decoded",
                  jtag("$obj", jobj(jmem("b", jtag("$int", jstr("7"))), jmem("a", jpos(1)))),
                  Ok("{\"a\":int:1,\"b\":int:7}")},
        DecodeRow{"obj_payload_test_vector_key_ordinary_when_allowed",
                  jtag("$obj", jtag("$quorl-vector:lone-surrogate", jpos(0))),
                  Ok("{\"$quorl-vector:lone-surrogate\":int:0}"), true},
        DecodeRow{"obj_array", jtag("$obj", jarr()), Err(kObjPayloadMsg)},
        DecodeRow{"obj_number", jtag("$obj", jpos(5)), Err(kObjPayloadMsg)},
        DecodeRow{"obj_string", jtag("$obj", jstr("{}")), Err(kObjPayloadMsg)},
        DecodeRow{"arr_tagged_item", jtag("$arr", jarr(jtag("$int", jstr("5")))), Ok("[int:5]")},
        DecodeRow{"arr_empty", jtag("$arr", jarr()), Ok("[]")},
        DecodeRow{"arr_object", jtag("$arr", jobj()), Err(kArrPayloadMsg)},
        DecodeRow{"arr_string", jtag("$arr", jstr("[]")), Err(kArrPayloadMsg)},
        DecodeRow{"arr_null", jtag("$arr", jnull()), Err(kArrPayloadMsg)},
        DecodeRow{"bool_false", jtag("$bool", jbool(false)), Ok("false")},
        DecodeRow{"bool_true", jtag("$bool", jbool(true)), Ok("true")},
        DecodeRow{"bool_one", jtag("$bool", jpos(1)), Err(kBoolPayloadMsg)},
        DecodeRow{"bool_string", jtag("$bool", jstr("true")), Err(kBoolPayloadMsg)},
        DecodeRow{"bool_null", jtag("$bool", jnull()), Err(kBoolPayloadMsg)},
        DecodeRow{"null_true", jtag("$null", jbool(true)), Ok("null")},
        DecodeRow{"null_false", jtag("$null", jbool(false)), Err(kNullPayloadMsg)},
        DecodeRow{"null_null", jtag("$null", jnull()), Err(kNullPayloadMsg)},
        DecodeRow{"null_one", jtag("$null", jpos(1)), Err(kNullPayloadMsg)},
        DecodeRow{"null_string_true", jtag("$null", jstr("true")), Err(kNullPayloadMsg)},
        DecodeRow{"null_tagged_true", jtag("$null", jtag("$bool", jbool(true))),
                  Err(kNullPayloadMsg)}),
    row_name);

INSTANTIATE_TEST_SUITE_P(
    TestVectorKey, Decode,
    ::testing::Values(
        DecodeRow{"off_ordinary_object", jtag("$quorl-vector:lone-surrogate", jpos(0)),
                  Ok("{\"$quorl-vector:lone-surrogate\":int:0}")},
        DecodeRow{"on_lone_surrogate", jtag("$quorl-vector:lone-surrogate", jpos(0)),
                  Ok("LoneSurrogate"), true},
        // Off, its value is decoded like any member's; on, it is never read.
        DecodeRow{"off_value_is_decoded",
                  jtag("$quorl-vector:lone-surrogate", jtag("$int", jstr("x"))),
                  Err(kIntPayloadMsg)},
        DecodeRow{"on_value_not_read",
                  jtag("$quorl-vector:lone-surrogate", jtag("$int", jstr("x"))),
                  Ok("LoneSurrogate"), true},
        DecodeRow{"on_passed_down_arrays_and_wrappers",
                  jarr(jtag("$arr",
                            jarr(jobj(jmem("k", jtag("$quorl-vector:lone-surrogate", jnull())))))),
                  Ok("[[{\"k\":LoneSurrogate}]]"), true},
        DecodeRow{"on_two_members_ordinary",
                  jobj(jmem("$quorl-vector:lone-surrogate", jpos(0)), jmem("x", jpos(1))),
                  Ok("{\"$quorl-vector:lone-surrogate\":int:0,\"x\":int:1}"), true},
        DecodeRow{"on_shortened_key_ordinary", jtag("$quorl-vector:lone-surrogat", jpos(0)),
                  Ok("{\"$quorl-vector:lone-surrogat\":int:0}"), true},
        DecodeRow{"on_other_tags_unchanged", jtag("$int", jstr("4")), Ok("int:4"), true}),
    row_name);

// One-member objects whose key only resembles a tag, and multi-member
// objects holding tag keys, are ordinary objects.
INSTANTIATE_TEST_SUITE_P(
    NearTags, Decode,
    ::testing::Values(
        DecodeRow{"two_members_with_tag_key", jobj(jmem("$int", jstr("5")), jmem("x", jpos(1))),
                  Ok("{\"$int\":str:\"5\",\"x\":int:1}")},
        DecodeRow{"two_tag_keys", jobj(jmem("$null", jbool(true)), jmem("$str", jstr("x"))),
                  Ok("{\"$null\":true,\"$str\":str:\"x\"}")},
        DecodeRow{"two_markers_keys", jobj(jmem("$nan", jpos(1)), jmem("$inf", jpos(2))),
                  Ok("{\"$inf\":int:2,\"$nan\":int:1}")},
        DecodeRow{"upper_case_INT", jtag("$INT", jstr("5")), Ok("{\"$INT\":str:\"5\"}")},
        DecodeRow{"mixed_case_Int", jtag("$Int", jstr("5")), Ok("{\"$Int\":str:\"5\"}")},
        DecodeRow{"upper_case_NaN", jtag("$NaN", jpos(1)), Ok("{\"$NaN\":int:1}")},
        DecodeRow{"trailing_space_int", jtag("$int ", jstr("5")), Ok("{\"$int \":str:\"5\"}")},
        DecodeRow{"trailing_space_null", jtag("$null ", jbool(false)), Ok("{\"$null \":false}")},
        DecodeRow{"trailing_space_float", jtag("$float ", jpos(1)), Ok("{\"$float \":int:1}")},
        DecodeRow{"leading_space", jtag(" $int", jstr("5")), Ok("{\" $int\":str:\"5\"}")},
        DecodeRow{"no_dollar", jtag("int", jstr("5")), Ok("{\"int\":str:\"5\"}")},
        DecodeRow{"dollar_alone", jtag("$", jpos(1)), Ok("{\"$\":int:1}")},
        DecodeRow{"short_nul", jtag("$nul", jbool(true)), Ok("{\"$nul\":true}")},
        DecodeRow{"longer_integer", jtag("$integer", jstr("5")), Ok("{\"$integer\":str:\"5\"}")},
        DecodeRow{"floats", jtag("$floats", jpos(1)), Ok("{\"$floats\":int:1}")},
        DecodeRow{"nul_suffix", jtag(std::string("$int\0", 5), jstr("5")),
                  Ok("{\"$int\\x00\":str:\"5\"}")},
        DecodeRow{"fullwidth_dollar", jtag("\xEF\xBC\x84int", jstr("5")),
                  Ok("{\"\\xEF\\xBC\\x84int\":str:\"5\"}")}),
    row_name);

// ------------------------------------------------------- depth

json::JsonTree arr_wrappers(std::size_t n, json::JsonTree inner) {
  for (std::size_t i = 0; i < n; ++i) inner = jtag("$arr", jarr(std::move(inner)));
  return inner;
}
json::JsonTree obj_wrappers(std::size_t n, json::JsonTree inner) {
  for (std::size_t i = 0; i < n; ++i) inner = jtag("$obj", jobj(jmem("k", std::move(inner))));
  return inner;
}
// Plain arrays and $obj wrappers taking turns.
json::JsonTree mixed_wrappers(std::size_t n, json::JsonTree inner) {
  for (std::size_t i = 0; i < n; ++i) {
    inner = (i % 2 == 0) ? jarr(std::move(inner)) : jtag("$obj", jobj(jmem("k", std::move(inner))));
  }
  return inner;
}

std::string nested_dump(std::size_t n, std::string_view inner) {
  return repeat("[", n) + std::string(inner) + repeat("]", n);
}

INSTANTIATE_TEST_SUITE_P(
    Depth, Decode,
    ::testing::Values(
        DecodeRow{"arrays_128_around_scalar", jnest_arrays(128, jpos(1)),
                  Ok(nested_dump(128, "int:1"))},
        DecodeRow{"arrays_129_around_scalar", jnest_arrays(129, jpos(1)), Err(kDepthMsg)},
        DecodeRow{"arrays_128_innermost_empty_array", jnest_arrays(128, jarr()), Err(kDepthMsg)},
        DecodeRow{"arrays_128_innermost_empty_object", jnest_arrays(128, jobj()), Err(kDepthMsg)},
        DecodeRow{"arrays_127_innermost_empty_array", jnest_arrays(127, jarr()),
                  Ok(nested_dump(128, ""))},
        DecodeRow{"arrays_128_innermost_arr_wrapper", jnest_arrays(128, jtag("$arr", jarr())),
                  Err(kDepthMsg)},
        DecodeRow{"arrays_128_innermost_obj_wrapper", jnest_arrays(128, jtag("$obj", jobj())),
                  Err(kDepthMsg)},
        // Tagged scalars at depth 128 are not containers.
        DecodeRow{"arrays_128_innermost_int_tag", jnest_arrays(128, jtag("$int", jstr("1"))),
                  Ok(nested_dump(128, "int:1"))},
        DecodeRow{"arrays_128_innermost_str_tag", jnest_arrays(128, jtag("$str", jstr("s"))),
                  Ok(nested_dump(128, "str:\"s\""))},
        DecodeRow{"arrays_128_innermost_bool_tag", jnest_arrays(128, jtag("$bool", jbool(true))),
                  Ok(nested_dump(128, "true"))},
        DecodeRow{"arrays_128_innermost_null_tag", jnest_arrays(128, jtag("$null", jbool(true))),
                  Ok(nested_dump(128, "null"))},
        DecodeRow{"arrays_128_innermost_nan_tag", jnest_arrays(128, jtag("$nan", jarr())),
                  Ok(nested_dump(128, "NaN"))},
        DecodeRow{"arrays_128_innermost_inf_tag", jnest_arrays(128, jtag("$inf", jobj())),
                  Ok(nested_dump(128, "Infinity"))},
        DecodeRow{"arrays_128_innermost_float_tag", jnest_arrays(128, jtag("$float", jarr())),
                  Ok(nested_dump(128, "Float"))},
        DecodeRow{"arrays_128_innermost_test_vector",
                  jnest_arrays(128, jtag("$quorl-vector:lone-surrogate", jarr())),
                  Ok(nested_dump(128, "LoneSurrogate")), true},
        // A wrapper and its payload are one level.
        DecodeRow{"arr_wrappers_128", arr_wrappers(128, jpos(1)), Ok(nested_dump(128, "int:1"))},
        DecodeRow{"arr_wrappers_129", arr_wrappers(129, jpos(1)), Err(kDepthMsg)},
        DecodeRow{"obj_wrappers_128", obj_wrappers(128, jnull()),
                  Ok(repeat("{\"k\":", 128) + "null" + repeat("}", 128))},
        DecodeRow{"obj_wrappers_129", obj_wrappers(129, jnull()), Err(kDepthMsg)},
        DecodeRow{"mixed_wrappers_128", mixed_wrappers(128, jpos(2)),
                  Ok(repeat("{\"k\":[", 64) + "int:2" + repeat("]}", 64))},
        DecodeRow{"mixed_wrappers_129", mixed_wrappers(129, jpos(2)), Err(kDepthMsg)}),
    row_name);

// decode, decode_items and decode_entries at a given depth: the test is on
// the container whose members are about to be decoded.
TEST(DecoderDepth, StartingDepth) {
  EXPECT_EQ(outcome(decode(jarr(), 127, false)), Ok("[]"));
  EXPECT_EQ(outcome(decode(jarr(), 128, false)), Err(kDepthMsg));
  EXPECT_EQ(outcome(decode(jobj(), 127, false)), Ok("{}"));
  EXPECT_EQ(outcome(decode(jobj(), 128, false)), Err(kDepthMsg));
  EXPECT_EQ(outcome(decode(jtag("$arr", jarr()), 128, false)), Err(kDepthMsg));
  EXPECT_EQ(outcome(decode(jtag("$obj", jobj()), 128, false)), Err(kDepthMsg));
  EXPECT_EQ(outcome(decode(jtag("$arr", jarr()), 127, false)), Ok("[]"));
  EXPECT_EQ(outcome(decode(jarr(jarr()), 127, false)), Err(kDepthMsg));
  EXPECT_EQ(outcome(decode(jtag("$int", jstr("1")), 128, false)), Ok("int:1"));
  EXPECT_EQ(outcome(decode(jpos(1), 10000, false)), Ok("int:1"));
  EXPECT_EQ(outcome(decode(jtag("$nan", jnull()), 10000, false)), Ok("NaN"));

  const json::JsonTree items = jarr(jpos(1), jtag("$int", jstr("-2")));
  const auto& item_span = std::get<json::JsonArray>(items.node).items;
  EXPECT_EQ(outcome(decode_items(item_span, 127, false)), Ok("[int:1,int:-2]"));
  EXPECT_EQ(outcome(decode_items(item_span, 128, false)), Err(kDepthMsg));
  EXPECT_EQ(outcome(decode_items({}, 128, false)), Err(kDepthMsg));

  const json::JsonTree members = jobj(jmem("b", jpos(1)), jmem("a", jnull()));
  const auto& member_span = std::get<json::JsonObject>(members.node).members;
  EXPECT_EQ(outcome(decode_entries(member_span, 127, false)), Ok("{\"a\":null,\"b\":int:1}"));
  EXPECT_EQ(outcome(decode_entries(member_span, 128, false)), Err(kDepthMsg));
  EXPECT_EQ(outcome(decode_entries({}, 128, false)), Err(kDepthMsg));
}

// ------------------------------------------------------- first error

INSTANTIATE_TEST_SUITE_P(
    FirstError, Decode,
    ::testing::Values(
        DecodeRow{"array_items_in_order",
                  jarr(jpos(1), jtag("$int", jstr("x")), jtag("$str", jpos(2))),
                  Err(kIntPayloadMsg)},
        DecodeRow{"array_items_in_order_reversed",
                  jarr(jtag("$str", jpos(2)), jtag("$int", jstr("x"))), Err(kStrPayloadMsg)},
        DecodeRow{"object_members_in_key_order",
                  jobj(jmem("b", jtag("$str", jpos(1))), jmem("a", jtag("$int", jstr("x")))),
                  Err(kIntPayloadMsg)},
        DecodeRow{"upper_case_key_first",
                  jobj(jmem("a", jtag("$bool", jpos(1))), jmem("B", jtag("$null", jnull()))),
                  Err(kNullPayloadMsg)},
        DecodeRow{"bare_int_before_deep_sibling",
                  jarr(jpos(9007199254740992ULL), jnest_arrays(200, jnull())), Err(kBareIntMsg)},
        DecodeRow{"deep_before_bare_int",
                  jarr(jnest_arrays(128, jnull()), jpos(9007199254740992ULL)), Err(kDepthMsg)},
        DecodeRow{"depth_first_into_nested",
                  jarr(jarr(jpos(1), jtag("$arr", jpos(1))), jtag("$obj", jnull())),
                  Err(kArrPayloadMsg)},
        DecodeRow{"inside_obj_payload",
                  jtag("$obj", jobj(jmem("a", jtag("$bool", jpos(0))), jmem("b", jneg(kInt64Min)))),
                  Err(kBoolPayloadMsg)},
        DecodeRow{"inside_arr_payload",
                  jtag("$arr", jarr(jdbl(0.5), jdbl(1e300), jtag("$null", jbool(false)))),
                  Err(kBareIntMsg)},
        DecodeRow{"float_marker_is_no_failure", jarr(jdbl(0.5), jtag("$int", jstr("+1"))),
                  Err(kIntPayloadMsg)}),
    row_name);

// ------------------------------------------------------- misc

// The value owns copies: the tree can go before the value is used.
TEST(DecoderOwnership, ValueOutlivesTree) {
  quorl::Result<quorl::QuorlValue> r = quorl::fail(quorl::QuorlError{"unset"});
  {
    const json::JsonTree tree = jobj(jmem(std::string(40, 'k'), jstr(std::string(100, 's'))),
                                     jmem("n", jtag("$int", jstr(std::string(50, '7')))),
                                     jmem("t", jtag("$str", jstr(std::string(64, 't')))));
    r = decode(tree, 0, false);
  }
  EXPECT_EQ(outcome(r),
            Ok(cat("{", quote_bytes(std::string(40, 'k')),
                   ":str:", quote_bytes(std::string(100, 's')), ",\"n\":int:", std::string(50, '7'),
                   ",\"t\":str:", quote_bytes(std::string(64, 't')), "}")));
}

TEST(DecoderIntPayload, DirectRows) {
  EXPECT_EQ(outcome(parse_int_payload(jstr("-0012"))), Ok("int:-12"));
  EXPECT_EQ(outcome(parse_int_payload(jstr("0"))), Ok("int:0"));
  EXPECT_EQ(outcome(parse_int_payload(jstr(std::string(300, '9')))),
            Ok(cat("int:", std::string(300, '9'))));
  EXPECT_EQ(outcome(parse_int_payload(jpos(1))), Err(kIntPayloadMsg));
  EXPECT_EQ(outcome(parse_int_payload(jbool(true))), Err(kIntPayloadMsg));
  EXPECT_EQ(outcome(parse_int_payload(jstr("-0-"))), Err(kIntPayloadMsg));
}

// Each decoder message's exact bytes and length, as produced by decoding.
TEST(DecoderMessages, ExactTextsAndLengths) {
  const struct {
    json::JsonTree tree;
    std::string_view text;
    std::size_t length;
  } rows[] = {
      {jpos(9007199254740992ULL), "bare JSON integer beyond +/-(2^53 - 1): use a $int tag", 54},
      {jnest_arrays(129, jnull()), "nesting depth exceeds the maximum of 128", 40},
      {jtag("$int", jstr("")), "invalid $int payload: expected optional '-' then ASCII digits", 61},
      {jtag("$str", jnull()), "invalid $str payload: expected a JSON string", 44},
      {jtag("$obj", jnull()), "invalid $obj payload: expected a JSON object", 44},
      {jtag("$arr", jnull()), "invalid $arr payload: expected a JSON array", 43},
      {jtag("$bool", jnull()), "invalid $bool payload: expected a JSON boolean", 46},
      {jtag("$null", jnull()), "invalid $null payload: expected true", 36},
  };
  for (const auto& row : rows) {
    const auto r = decode(row.tree, 0, false);
    ASSERT_FALSE(r.ok()) << row.text;
    EXPECT_EQ(r.error().message, row.text);
    EXPECT_EQ(r.error().message.size(), row.length) << row.text;
  }
}

}  // namespace
