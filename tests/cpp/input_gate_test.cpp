// The input gate: raw bracket depth, number tokens judged by how they are
// written, the reader with its position, the end check, the decoder, and the
// order in which these decide; then the canonical bytes of whole texts.
#include "core/exact/input_gate.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "core/canonical_text.h"
#include "core/exact/encoder.h"
#include "test_support.h"

namespace {

using quorl::check_number_tokens;
using quorl::decode_input_json;
using quorl::py_canonical_bytes_from_json;
using quorl::raw_bracket_depth;
using namespace qtest;

std::string invalid(std::string_view rendered) {
  return cat("invalid JSON: ", rendered);
}

struct GateRow {
  std::string label;
  std::string text;
  Outcome expected;  // Ok(dump of the decoded value) or Err(message)
  friend void PrintTo(const GateRow& r, std::ostream* os) { *os << r.label; }
};

class Gate : public ::testing::TestWithParam<GateRow> {};

TEST_P(Gate, DecodeInputJson) {
  const GateRow& row = GetParam();
  EXPECT_EQ(outcome(decode_input_json(row.text)), row.expected);
}

auto row_name = [](const auto& info) { return param_name(info.param.label); };

const Outcome kFloat = Err(kFloatMsg);
const Outcome kBareInt = Err(kBareIntMsg);
const Outcome kDepth = Err(kDepthMsg);

// ------------------------------------------------------- number tokens

INSTANTIATE_TEST_SUITE_P(
    NumberTokens, Gate,
    ::testing::Values(
        GateRow{"fraction", "1.0", kFloat}, GateRow{"half", "0.5", kFloat},
        GateRow{"exponent_lower", "[1e5]", kFloat}, GateRow{"exponent_upper", "[1E5]", kFloat},
        GateRow{"point_at_end", "1.", kFloat}, GateRow{"e_at_end", "1e", kFloat},
        GateRow{"two_digits_e_at_end", "12e", kFloat}, GateRow{"inner_minus", "1-2", kFloat},
        GateRow{"double_minus", "--1", kFloat}, GateRow{"plus_at_end", "1+", kFloat},
        GateRow{"minus_at_end_of_token", "2-", kFloat}, GateRow{"lone_minus", "-", kFloat},
        GateRow{"minus_x", "-x", kFloat}, GateRow{"minus_infinity", "-Infinity", kFloat},
        GateRow{"lone_minus_in_array", "[-]", kFloat}, GateRow{"minus_zero", "-0", kFloat},
        GateRow{"minus_zero_after_zero", "[0,-0]", kFloat}, GateRow{"leading_zero", "01", kFloat},
        GateRow{"minus_leading_zero", "-01", kFloat}, GateRow{"double_zero", "00", kFloat},
        GateRow{"minus_double_zero", "-00", kFloat},
        // The leading-zero rule comes before the length rule.
        GateRow{"seventeen_zeros", std::string(17, '0'), kFloat},
        GateRow{"max_exact", "9007199254740991", Ok("int:9007199254740991")},
        GateRow{"min_exact", "-9007199254740991", Ok("int:-9007199254740991")},
        GateRow{"max_exact_plus_1", "9007199254740992", kBareInt},
        GateRow{"min_exact_minus_1", "-9007199254740992", kBareInt},
        GateRow{"sixteen_digits_small", "1000000000000000", Ok("int:1000000000000000")},
        GateRow{"sixteen_digits_too_big", "9999999999999999", kBareInt},
        GateRow{"seventeen_digits", "10000000000000000", kBareInt},
        GateRow{"minus_seventeen_digits", "-10000000000000000", kBareInt},
        GateRow{"twenty_three_digits", "12345678901234567890123", kBareInt},
        GateRow{"zero", "0", Ok("int:0")}, GateRow{"minus_one", "-1", Ok("int:-1")},
        GateRow{"zero_in_array", "[0,-1,10]", Ok("[int:0,int:-1,int:10]")},
        // The first offending token decides between the two messages.
        GateRow{"integer_then_float", "[9007199254740992, 1.5]", kBareInt},
        GateRow{"float_then_integer", "[1.5, 9007199254740992]", kFloat},
        // Number rules run before the reader sees the text.
        GateRow{"float_in_unclosed_array", "[1.5", kFloat},
        GateRow{"float_as_key", "{1.5}", kFloat}, GateRow{"float_before_garbage", "[1.5 x", kFloat},
        GateRow{"float_after_letter", "x1.5", kFloat},
        GateRow{"minus_zero_after_letter", "[a-0]", kFloat},
        GateRow{"float_in_trailing_text", "1 2.5", kFloat},
        GateRow{"leading_zero_in_trailing_text", "[] 01", kFloat},
        // Inside string literals, keys included, nothing is a number token.
        GateRow{"string_one_point_five", "\"1.5\"", Ok("str:\"1.5\"")},
        GateRow{"string_minus_zero", "\"-0\"", Ok("str:\"-0\"")},
        GateRow{"key_exponent", "{\"1e5\": 1}", Ok("{\"1e5\":int:1}")},
        GateRow{"strings_of_bad_numbers", "[\"01\", \"-\", \"1e400\"]",
                Ok("[str:\"01\",str:\"-\",str:\"1e400\"]")},
        // After a token, the next byte is looked at afresh: here it opens a
        // string literal holding 1.5, which is not judged.
        // [1"1.5"]
        //   ^ column 3
        GateRow{"string_right_after_token", "[1\"1.5\"]",
                Err(invalid("expected `,` or `]` at line 1 column 3"))},
        // An unterminated literal ends both scans; the reader reports it.
        // "1.5
        //     ^ column 4 (end of text)
        GateRow{"number_in_unterminated_string", "\"1.5",
                Err(invalid("EOF while parsing a string at line 1 column 4"))}),
    row_name);

// ------------------------------------------------------- reader and end check

INSTANTIATE_TEST_SUITE_P(
    ReaderAndEnd, Gate,
    ::testing::Values(
        GateRow{"empty", "", Err(invalid("EOF while parsing a value at line 1 column 0"))},
        //   "   "
        //       ^ column 3 (end of text)
        GateRow{"three_spaces", "   ",
                Err(invalid("EOF while parsing a value at line 1 column 3"))},
        // <LF><LF>
        //         ^ line 3, column 0 (end of text, nothing of line 3 read)
        GateRow{"two_line_feeds", "\n\n",
                Err(invalid("EOF while parsing a value at line 3 column 0"))},
        // NaN
        // ^ column 1
        GateRow{"nan", "NaN", Err(invalid("expected value at line 1 column 1"))},
        GateRow{"infinity", "Infinity", Err(invalid("expected value at line 1 column 1"))},
        // +1   ('+' is no token start; "1" alone is a fine token)
        // ^ column 1
        GateRow{"plus_one", "+1", Err(invalid("expected value at line 1 column 1"))},
        // .5
        // ^ column 1
        GateRow{"point_five", ".5", Err(invalid("expected value at line 1 column 1"))},
        // 0x10   (tokens "0" and "10" both pass)
        //  ^ column 2
        GateRow{"hex", "0x10", Err(invalid("trailing characters at line 1 column 2"))},
        // 1 2
        //   ^ column 3
        GateRow{"two_values", "1 2", Err(invalid("trailing characters at line 1 column 3"))},
        // truex
        //     ^ column 5
        GateRow{"literal_then_letter", "truex",
                Err(invalid("trailing characters at line 1 column 5"))},
        GateRow{"trailing_whitespace_accepted", "[1] \n\t\r", Ok("[int:1]")},
        GateRow{"leading_whitespace_accepted", " \t\r\n{\"b\":1,\"a\":2}",
                Ok("{\"a\":int:2,\"b\":int:1}")},
        // [1,<LF>  x]
        //          ^ line 2, column 3
        GateRow{"position_on_second_line", "[1,\n  x]",
                Err(invalid("expected value at line 2 column 3"))},
        // The length bounds the text, not a NUL byte.
        // [1]<NUL>
        //    ^ column 4
        GateRow{"nul_after_value", std::string("[1]\0", 4),
                Err(invalid("trailing characters at line 1 column 4"))},
        // "a<NUL>b"
        //   ^ column 3
        GateRow{"nul_inside_string", std::string("\"a\0b\"", 5),
                Err(invalid("control character (\\u0000-\\u001F) found while parsing a string at "
                            "line 1 column 3"))},
        // <NUL>
        // ^ column 1
        GateRow{"nul_alone", std::string(1, '\0'),
                Err(invalid("expected value at line 1 column 1"))},
        GateRow{"escaped_nul_accepted", "\"a\\u0000b\"", Ok("str:\"a\\x00b\"")},
        GateRow{"later_duplicate_key_wins", "{\"b\":1,\"a\":2,\"b\":3}",
                Ok("{\"a\":int:2,\"b\":int:3}")}),
    row_name);

// ------------------------------------------------------- brackets

const std::string kOpen257 = repeat("[", 257);
const std::string kClose257 = repeat("]", 257);

INSTANTIATE_TEST_SUITE_P(
    Brackets, Gate,
    ::testing::Values(
        // 257 open at once passes the gate; the decoder then refuses them.
        GateRow{"closed_257", kOpen257 + kClose257, kDepth},
        GateRow{"closed_258", "[" + kOpen257 + kClose257 + "]", kDepth},
        GateRow{"unclosed_258", "[" + kOpen257, kDepth},
        // [[[...[   (257 of them)
        //       ^ column 257 (end of text)
        GateRow{"unclosed_257", kOpen257,
                Err(invalid("EOF while parsing a list at line 1 column 257"))},
        // 257 open at once pass the gate: the reader is the one to stop here.
        // [[[...[x]...]]]
        //        ^ column 258
        GateRow{"reader_reached_at_257", kOpen257 + "x" + kClose257,
                Err(invalid("expected value at line 1 column 258"))},
        GateRow{"gate_stops_258_before_reader", "[" + kOpen257 + "x" + kClose257 + "]", kDepth},
        GateRow{"braces_count_too", repeat("{\"k\":", 258) + "1" + repeat("}", 258), kDepth},
        GateRow{"empty_arrays_128", repeat("[", 128) + repeat("]", 128),
                Ok(repeat("[", 128) + repeat("]", 128))},
        GateRow{"empty_arrays_129", repeat("[", 129) + repeat("]", 129), kDepth},
        GateRow{"objects_128", repeat("{\"k\":", 128) + "0" + repeat("}", 128),
                Ok(repeat("{\"k\":", 128) + "int:0" + repeat("}", 128))},
        GateRow{"objects_129", repeat("{\"k\":", 129) + "0" + repeat("}", 129), kDepth},
        // Depth is tested over the whole text before any number.
        GateRow{"float_before_258_brackets", "[1.5," + kOpen257 + kClose257 + "]", kDepth},
        GateRow{"float_before_unclosed_258", "1.5 " + kOpen257 + "[", kDepth},
        // Brackets inside string literals do not count.
        GateRow{"brackets_in_string", cat("\"", repeat("[", 300), "\""),
                Ok(cat("str:\"", repeat("[", 300), "\""))},
        // An escaped quotation mark does not end the literal.
        GateRow{"escaped_quote_keeps_string_open", cat("[\"\\\"", repeat("[", 300), "\"]"),
                Ok(cat("[str:\"\\\"", repeat("[", 300), "\"]"))},
        // An escaped backslash followed by a quotation mark does.
        GateRow{"escaped_backslash_then_quote_closes", "[\"\\\\\"," + kOpen257 + kClose257 + "]",
                kDepth},
        // Outside a literal a backslash escapes nothing: the quote after it
        // opens a literal that swallows the brackets.
        // \"[[[...["
        // ^ column 1
        GateRow{"backslash_outside_string", cat("\\\"", repeat("[", 300), "\""),
                Err(invalid("expected value at line 1 column 1"))},
        // Closing brackets never take the depth below zero.
        // ]]]]][[[...
        // ^ column 1
        GateRow{"closers_then_257", repeat("]", 5) + kOpen257,
                Err(invalid("expected value at line 1 column 1"))},
        GateRow{"closers_then_258", repeat("]", 5) + kOpen257 + "[", kDepth}),
    row_name);

// ------------------------------------------------------- decoder via the gate

INSTANTIATE_TEST_SUITE_P(
    TagsThroughGate, Gate,
    ::testing::Values(GateRow{"int_tag_bad", "{\"$int\":\"x\"}", Err(kIntPayloadMsg)},
                      GateRow{"null_tag_false", "[{\"$null\":false}]", Err(kNullPayloadMsg)},
                      GateRow{"first_in_key_order", "{\"b\":{\"$str\":1},\"a\":{\"$int\":\"x\"}}",
                              Err(kIntPayloadMsg)},
                      GateRow{"obj_payload_tag_key_ordinary", "{\"$obj\":{\"$int\":\"5\"}}",
                              Ok("{\"$int\":str:\"5\"}")},
                      GateRow{"markers_decode",
                              "[{\"$nan\":0},{\"$inf\":\"x\"},{\"$float\":[1,2]}]",
                              Ok("[NaN,Infinity,Float]")},
                      // The test-vector key is never honoured through the gate.
                      GateRow{"test_vector_key_ordinary", "{\"$quorl-vector:lone-surrogate\": 0}",
                              Ok("{\"$quorl-vector:lone-surrogate\":int:0}")},
                      GateRow{"test_vector_key_value_decoded",
                              "{\"$quorl-vector:lone-surrogate\": {\"$int\":\"x\"}}",
                              Err(kIntPayloadMsg)},
                      GateRow{"escaped_tag_key_is_a_tag", "{\"\\u0024int\":\"7\"}", Ok("int:7")}),
    row_name);

// ------------------------------------------------------- which fault wins

// Raw depth, then number tokens, then the reader, then the end check, then
// the decoder.
INSTANTIATE_TEST_SUITE_P(
    FaultOrder, Gate,
    ::testing::Values(
        GateRow{"depth_over_number", "[1.5," + kOpen257, kDepth},
        GateRow{"depth_over_decoder", "[{\"$int\":\"x\"}," + kOpen257 + kClose257 + "]", kDepth},
        GateRow{"number_over_reader", "[01 x", kFloat},
        GateRow{"number_over_end_check", "1 2.5", kFloat},
        GateRow{"number_over_decoder", "[{\"$int\":\"x\"}, 1.5]", kFloat},
        GateRow{"integer_over_decoder", "[{\"$int\":\"x\"}, 9007199254740992]", kBareInt},
        // [1,] 2
        //    ^ column 4
        GateRow{"reader_over_end_check", "[1,] 2",
                Err(invalid("trailing comma at line 1 column 4"))},
        // [{"$int":"x"}, ]
        //                ^ column 16
        GateRow{"reader_over_decoder", "[{\"$int\":\"x\"}, ]",
                Err(invalid("trailing comma at line 1 column 16"))},
        // {"$int":"x"} 1
        //              ^ column 14
        GateRow{"end_check_over_decoder", "{\"$int\":\"x\"} 1",
                Err(invalid("trailing characters at line 1 column 14"))},
        GateRow{"decoder_last", "{\"$int\":\"x\"}", Err(kIntPayloadMsg)},
        GateRow{"decoder_depth_last", repeat("[", 129) + "1" + repeat("]", 129), kDepth}),
    row_name);

// ------------------------------------------------------- the pre-scans alone

TEST(RawBracketDepth, Rows) {
  const struct {
    std::string text;
    std::size_t depth;
  } rows[] = {
      {"", 0},
      {"1", 0},
      {"[]", 1},
      {"[[]]", 2},
      {"[][][]", 1},
      {"{[{[", 4},
      {"]]][", 1},
      {"]]]]][[[", 3},
      {"[]]]][[", 2},
      {"\"[[[\"", 0},
      {"\"[[[", 0},       // open literal ends the scan
      {"[\"]\"[", 2},     // the ']' is inside a literal
      {"\"\\\"[[\"", 0},  // escaped quote keeps the literal open
      {"\"\\\\\"[[", 2},  // escaped backslash, then the literal ends
      {"\\\"[[\"[", 1},   // backslash outside: the quote opens a literal
      {"\"\\", 0},        // text ends right after a backslash in a literal
      {kOpen257 + kClose257, 257},
      {"[" + kOpen257, 258},
      {"[1.5, \"x\", {\"a\": [true]}]", 3},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(raw_bracket_depth(row.text), row.depth) << quote_bytes(row.text.substr(0, 40));
  }
}

TEST(CheckNumberTokens, Rows) {
  const struct {
    std::string text;
    std::optional<std::string_view> fault;
  } rows[] = {
      {"", std::nullopt},
      {"[0, -1, 9007199254740991, -9007199254740991]", std::nullopt},
      {"true false null", std::nullopt},
      {"\"1.5\" \"-0\" \"01\"", std::nullopt},
      {"\"\\\"1.5\"", std::nullopt},         // escaped quote: 1.5 still inside
      {"\"\\\\\"1.5", kFloatMsg},            // escaped backslash: 1.5 outside
      {"\\\"1.5\"", std::nullopt},           // backslash outside escapes nothing
      {"NaN Infinity +1 .5", std::nullopt},  // '+' and '.' start no token
      {"0x10", std::nullopt},
      {"1.0", kFloatMsg},
      {"-", kFloatMsg},
      {"-0", kFloatMsg},
      {"01", kFloatMsg},
      {std::string(17, '0'), kFloatMsg},
      {"9999999999999999", kBareIntMsg},
      {"10000000000000000", kBareIntMsg},
      {"[9007199254740992, 1.5]", kBareIntMsg},
      {"[1.5, 9007199254740992]", kFloatMsg},
      {"[\"x\" 9007199254740992 -0]", kBareIntMsg},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(check_number_tokens(row.text), row.fault) << quote_bytes(row.text);
  }
}

// ------------------------------------------------------- canonical bytes

struct BytesRow {
  std::string label;
  std::string text;
  Outcome expected;  // Ok(canonical bytes) or Err(message)
  friend void PrintTo(const BytesRow& r, std::ostream* os) { *os << r.label; }
};

class CanonicalBytes : public ::testing::TestWithParam<BytesRow> {};

TEST_P(CanonicalBytes, FromText) {
  const BytesRow& row = GetParam();
  EXPECT_EQ(outcome(py_canonical_bytes_from_json(row.text)), row.expected);
}

const std::string kWorkedExample =
    "{\"A\":{\"y\":\"\",\"z\":0},\"a\":\"x\\\"y\\u000a\",\"b\":[1,-20,true],\"\xC3\xA9\":null}";

INSTANTIATE_TEST_SUITE_P(
    Rows, CanonicalBytes,
    ::testing::Values(
        BytesRow{
            "worked_example",
            "{\"b\":[1,-20,true],\"a\":\"x\\\"y\\n\",\"\xC3\xA9\":null,\"A\":{\"z\":0,\"y\":\"\"}}",
            Ok(kWorkedExample)},
        BytesRow{"worked_example_spaced_and_escaped",
                 " {\n \"b\" : [ 1 , -20 , true ] ,\t\"a\":\"x\\u0022y\\u000A\", "
                 "\"\\u00e9\":null,\"A\":{\"y\":\"\",\"z\":0}}\r\n",
                 Ok(kWorkedExample)},
        BytesRow{"whitespace_dropped", "[1, 2 , 3 ]", Ok("[1,2,3]")},
        BytesRow{"bare_integers_at_the_bound", "[0,-1,9007199254740991,-9007199254740991]",
                 Ok("[0,-1,9007199254740991,-9007199254740991]")},
        BytesRow{"minus_zero", "-0", kFloat},
        BytesRow{"minus_zero_in_object", "{\"a\":-0}", kFloat},
        BytesRow{"leading_zero_in_array", "[1,01]", kFloat}, BytesRow{"exponent", "1e2", kFloat},
        BytesRow{"beyond_the_bound", "[9007199254740992]", kBareInt},
        BytesRow{"seventeen_digits", "-10000000000000000", kBareInt},
        BytesRow{"short_escapes_rewritten", "\"\\u00e9\\n\\/\\b\\f\\t\\r\"",
                 Ok("\"\xC3\xA9\\u000a/\\u0008\\u000c\\u0009\\u000d\"")},
        BytesRow{"surrogate_pair_to_four_bytes", "\"\\ud83d\\ude00\"", Ok("\"\xF0\x9F\x98\x80\"")},
        BytesRow{"escaped_u2028_written_raw", "\"\\u2028\\u007f\"", Ok("\"\xE2\x80\xA8\x7F\"")},
        BytesRow{"keys_by_code_point",
                 "{\"\\ud83d\\ude00\":4,\"\\ue000\":3,\"\xC3\xA9\":2,\"z\":1}",
                 Ok("{\"z\":1,\"\xC3\xA9\":2,\"\xEE\x80\x80\":3,\"\xF0\x9F\x98\x80\":4}")},
        BytesRow{"key_order_after_unescaping", "{\"\\u0062\":1,\"a\":2}", Ok("{\"a\":2,\"b\":1}")},
        BytesRow{"keys_needing_escapes", "{\"a\\\\b\":2,\"a\\\"b\":1,\"a\\u0001\":0}",
                 Ok("{\"a\\u0001\":0,\"a\\\"b\":1,\"a\\\\b\":2}")},
        BytesRow{"later_duplicate_wins", "{\"b\":1,\"a\":2,\"b\":3}", Ok("{\"a\":2,\"b\":3}")},
        BytesRow{"duplicate_tag_key_collapses_to_tag", "{\"$int\":\"5\",\"$int\":\"6\"}", Ok("6")},
        BytesRow{"int_tag", "{\"$int\":\"-000123\"}", Ok("-123")},
        BytesRow{"int_tag_zero", "{\"$int\":\"-000\"}", Ok("0")},
        BytesRow{"int_tag_escaped_digit", "{\"$int\":\"\\u0037\"}", Ok("7")},
        BytesRow{"int_tag_spaced", "{ \"$int\" : \"12\" }", Ok("12")},
        BytesRow{"int_tag_big", "{\"$int\":\"123456789012345678901234567890\"}",
                 Ok("123456789012345678901234567890")},
        BytesRow{"int_tag_number_payload", "{\"$int\":5}", Err(kIntPayloadMsg)},
        BytesRow{"escaped_tag_key", "{\"\\u0024int\":\"7\"}", Ok("7")},
        BytesRow{"str_tag", "{\"$str\":\"a\\u0000\"}", Ok("\"a\\u0000\"")},
        BytesRow{
            "null_bool_arr_tags",
            "{\"a\":{\"$null\":true},\"b\":{\"$bool\":false},\"c\":{\"$arr\":[{\"$int\":\"1\"}]}}",
            Ok("{\"a\":null,\"b\":false,\"c\":[1]}")},
        BytesRow{"null_tag_false", "{\"$null\":false}", Err(kNullPayloadMsg)},
        BytesRow{"obj_tag_empty", "{\"$obj\":{}}", Ok("{}")},
        BytesRow{"arr_tag_empty", "{\"$arr\":[]}", Ok("[]")},
        BytesRow{"obj_tag_not_object", "{\"$obj\":5}", Err(kObjPayloadMsg)},
        BytesRow{"obj_tag_payload_sorted", "{\"$obj\":{\"b\":1,\"a\":2}}", Ok("{\"a\":2,\"b\":1}")},
        BytesRow{"obj_tag_payload_key_ordinary", "{\"$obj\":{\"$int\":\"5\"}}",
                 Ok("{\"$int\":\"5\"}")},
        BytesRow{"obj_tag_payload_marker_key_ordinary", "{\"k\":{\"$obj\":{\"$nan\":1}}}",
                 Ok("{\"k\":{\"$nan\":1}}")},
        BytesRow{"obj_tag_twice", "{\"$obj\":{\"$obj\":{\"$int\":\"5\"}}}", Ok("{\"$obj\":5}")},
        BytesRow{"obj_key_with_company", "{\"$obj\":{\"$int\":\"5\"},\"b\":1}",
                 Ok("{\"$obj\":5,\"b\":1}")},
        BytesRow{"obj_key_with_company_after", "{\"b\":1,\"$obj\":{\"$int\":\"5\"}}",
                 Ok("{\"$obj\":5,\"b\":1}")},
        BytesRow{"obj_key_duplicate_collapses",
                 "{\"$obj\":{\"$int\":\"5\"},\"$obj\":{\"$str\":\"x\"}}", Ok("{\"$str\":\"x\"}")},
        BytesRow{"arr_tag_inside_obj_payload", "{\"$arr\":[{\"$obj\":{\"$arr\":1}}]}",
                 Ok("[{\"$arr\":1}]")},
        BytesRow{"tag_key_with_company_ordinary", "{\"$bool\":true,\"x\":1}",
                 Ok("{\"$bool\":true,\"x\":1}")},
        BytesRow{"test_vector_key_ordinary", "{\"$quorl-vector:lone-surrogate\":0}",
                 Ok("{\"$quorl-vector:lone-surrogate\":0}")},
        BytesRow{"root_digest_kept", "{\"digest\":1,\"a\":2}", Ok("{\"a\":2,\"digest\":1}")},
        BytesRow{"nested_empty_128", repeat("[", 128) + repeat("]", 128),
                 Ok(repeat("[", 128) + repeat("]", 128))},
        BytesRow{"nested_empty_129", repeat("[", 129) + repeat("]", 129), kDepth},
        BytesRow{"wrappers_count_once", repeat("{\"$arr\":[", 128) + "1" + repeat("]}", 128),
                 Ok(repeat("[", 128) + "1" + repeat("]", 128))},
        BytesRow{"nan_refused", "{\"a\":{\"$nan\":0}}", Err(kNaNMsg)},
        BytesRow{"float_then_nan", "[{\"$float\":1},{\"$nan\":1}]", Err(kFloatMsg)},
        BytesRow{"infinity_root", "{\"$inf\":0}", Err(kInfinityMsg)},
        BytesRow{"marker_under_digest_refused", "{\"digest\":{\"$nan\":0},\"a\":1}", Err(kNaNMsg)},
        BytesRow{"gate_message_unchanged", "[1.5]", kFloat},
        BytesRow{"reader_message_prefixed", "",
                 Err(invalid("EOF while parsing a value at line 1 column 0"))}),
    row_name);

// ------------------------------------------------------- two roads, one answer

// Every text here must give the same outcome from py_canonical_bytes_from_json
// as from the gate followed by encode_value, whatever road the former takes.
TEST(CanonicalBytesAgreement, WithGateThenEncoder) {
  const std::vector<std::string> docs = {
      "0",
      "-1",
      "9007199254740991",
      "9007199254740992",
      "\"s\"",
      "true",
      "null",
      "[]",
      "{}",
      "{\"b\":1,\"a\":2}",
      "{\"a\":1,\"a\":2}",
      "{\"a\":{\"b\":1,\"b\":2}}",
      "{\"$int\":\"-0\"}",
      "{\"$int\":\"0009\"}",
      "{\"$int\":\" 1\"}",
      "{\"$int\":\"\\u0031\"}",
      "{\"$int\":\"1\\u0000\"}",
      "{\"$int\":\"\\\"\"}",
      "{\"$str\":1}",
      "{\"$str\":\"\\t\"}",
      "{\"$obj\":{\"$obj\":{}}}",
      "{\"$obj\":{\"$arr\":[1]},\"$obj\":{\"$arr\":[2]}}",
      "{\"$obj\":{\"a\":{\"$int\":\"5\"}},\"z\":0}",
      "{\"$obj\":[]}",
      "{\"$arr\":[{\"$obj\":{\"b\":2,\"a\":1}}]}",
      "{\"$arr\":{}}",
      "{\"$null\":true}",
      "{\"$null\":1}",
      "{\"$bool\":false}",
      "{\"$bool\":\"true\"}",
      "{\"$nan\":1}",
      "{\"$float\":{\"$int\":\"x\"}}",
      "{\"$inf\":[]}",
      "{\"$INT\":\"1\"}",
      "{\"$int \":\"1\"}",
      "{\"\\u0024obj\":{\"\\u0024int\":\"1\"}}",
      "{\"$obj\":{\"\\u0024int\":\"1\"},\"b\":0}",
      "{\"digest\":1}",
      "{\"a\":\"\\ud83d\\ude00\\u0000\\u001f\\\"\\\\\\/\"}",
      "\"\\ud800\"",
      "\"\\udc00\"",
      "\"\\ud800\\u0041\"",
      "\"\\x\"",
      "\"abc",
      "[1,]",
      "[1 2]",
      "{\"a\" 1}",
      "{\"a\":1,}",
      "{,}",
      "tru",
      "nul",
      "[true,false,null]",
      "1.5",
      "-0",
      "[01]",
      "\"\xC3\xA9\x7F\"",
      std::string("\"\x01\"", 3),
      "{\"\xC3\xA9\":1,\"e\xCC\x81\":2}",
      repeat("[", 127) + "{\"$int\":\"1\"}" + repeat("]", 127),
      repeat("[", 128) + "{\"$int\":\"1\"}" + repeat("]", 128),
      repeat("[", 128) + "{\"$obj\":{}}" + repeat("]", 128),
      repeat("{\"$obj\":{\"k\":", 128) + "1" + repeat("}}", 128),
      repeat("{\"$obj\":{\"k\":", 129) + "1" + repeat("}}", 129),
  };
  auto exact = [](std::string_view text) -> Outcome {
    auto value = decode_input_json(text);
    if (!value.ok()) return Err(value.error().message);
    return outcome(quorl::encode_value(value.value(), 0));
  };
  // Each document alone and in a few surroundings.
  auto surroundings = [](const std::string& d) {
    return std::vector<std::string>{d,
                                    " " + d + "\n",
                                    "[" + d + "]",
                                    "[0," + d + ",{}]",
                                    "{\"k\":" + d + "}",
                                    "{\"k\":" + d + ",\"a\":1}",
                                    "{\"$obj\":{\"k\":" + d + "}}",
                                    "{\"$arr\":[" + d + "]}",
                                    "{\"$obj\":" + d + "}"};
  };
  for (const std::string& d : docs) {
    for (const std::string& text : surroundings(d)) {
      EXPECT_EQ(outcome(py_canonical_bytes_from_json(text)), exact(text))
          << quote_bytes(text.substr(0, 200));
    }
  }
}

}  // namespace
