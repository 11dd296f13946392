// Tests of the strict JSON reader: messages and positions, numbers, strings
// and escapes, object key order and duplicates, and bounds safety on cut-off
// and malformed bytes.
#include "json/reader/json_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json/reader/json_error.h"
#include "json/reader/json_tree.h"

namespace quorl::json {
namespace {

using namespace std::string_literals;

// A heap copy of exactly the text's size: no terminator, no slack, so that
// AddressSanitizer reports any read past the end.
class ExactText {
 public:
  explicit ExactText(std::string_view text)
      : bytes_(std::make_unique<char[]>(text.size())), size_(text.size()) {
    if (size_ != 0) std::memcpy(bytes_.get(), text.data(), size_);
  }
  std::string_view view() const { return {bytes_.get(), size_}; }

 private:
  std::unique_ptr<char[]> bytes_;
  std::size_t size_;
};

// The gate's calling order: read_value, then expect_end.
struct Outcome {
  std::optional<JsonTree> tree;
  std::string error;  // rendered, empty on success
};

Outcome read_all(std::string_view text) {
  const ExactText copy(text);
  JsonReader reader(copy.view());
  auto value = reader.read_value();
  if (!value.ok()) return {std::nullopt, value.error().render()};
  auto end = reader.expect_end();
  if (!end.ok()) return {std::nullopt, end.error().render()};
  return {std::move(value).value(), {}};
}

std::string hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

// The string a successful read produced, or a description of what it was.
std::string string_of(const Outcome& o) {
  if (!o.tree) return "<error: " + o.error + ">";
  const auto* s = std::get_if<JsonString>(&o.tree->node);
  if (s == nullptr) return "<not a string>";
  return s->value;
}

// ---------------------------------------------------------------------------
// Messages and positions

struct ErrorCase {
  std::string text;
  std::string expected;
};

std::ostream& operator<<(std::ostream& os, const ErrorCase& c) {
  return os << "text [" << hex(c.text) << "]";
}

class ReaderErrorTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ReaderErrorTest, RendersMessageLineAndColumn) {
  const ErrorCase& c = GetParam();
  const Outcome o = read_all(c.text);
  EXPECT_FALSE(o.tree.has_value());
  EXPECT_EQ(o.error, c.expected);
}

// Columns are byte counts; a caret marks the offending byte where it helps.
const std::vector<ErrorCase> kErrorCases = {
    // Where a value must start.
    {"", "EOF while parsing a value at line 1 column 0"},
    {"  ", "EOF while parsing a value at line 1 column 2"},
    {"\n\n", "EOF while parsing a value at line 3 column 0"},
    {"x", "expected value at line 1 column 1"},
    {"NaN", "expected value at line 1 column 1"},
    {"True", "expected value at line 1 column 1"},
    {"+1", "expected value at line 1 column 1"},
    {".5", "expected value at line 1 column 1"},
    {"\xEF\xBB\xBF" + "1"s, "expected value at line 1 column 1"},  // byte-order mark
    {"\r\r x", "expected value at line 1 column 4"},               // CR starts no line
    {"\f1", "expected value at line 1 column 1"},                  // form feed is no whitespace
    {"\v1", "expected value at line 1 column 1"},
    {"\xC2\xA0" + "1"s, "expected value at line 1 column 1"},  // no-break space
    {"{\"a\"\n:\n}", "expected value at line 3 column 1"},
    // Literals.
    {"nul", "EOF while parsing a value at line 1 column 3"},
    {"nulx", "expected ident at line 1 column 4"},
    // nulx
    //    ^ the differing byte is consumed: column 4
    {"nULL", "expected ident at line 1 column 2"},
    {"t", "EOF while parsing a value at line 1 column 1"},
    {"fals", "EOF while parsing a value at line 1 column 4"},
    {"falsE", "expected ident at line 1 column 5"},
    {"truex", "trailing characters at line 1 column 5"},
    {"[nullx]", "expected `,` or `]` at line 1 column 6"},
    // [nullx]
    //      ^ column 6
    // Numbers.
    {"01", "invalid number at line 1 column 2"},
    {"00", "invalid number at line 1 column 2"},
    {"-01", "invalid number at line 1 column 3"},
    {"-", "EOF while parsing a value at line 1 column 1"},
    {"-x", "invalid number at line 1 column 2"},
    {"-Infinity", "invalid number at line 1 column 2"},
    {"1.", "EOF while parsing a value at line 1 column 2"},
    {"1.x", "invalid number at line 1 column 3"},
    {"1.e5", "invalid number at line 1 column 3"},
    {"1e", "EOF while parsing a value at line 1 column 2"},
    {"1e+", "EOF while parsing a value at line 1 column 3"},
    {"-1.5e-", "EOF while parsing a value at line 1 column 6"},
    {"1ex", "invalid number at line 1 column 3"},
    {"1.5E+x", "invalid number at line 1 column 6"},
    {"1e309", "number out of range at line 1 column 5"},
    {"2e308", "number out of range at line 1 column 5"},
    {"-1e309", "number out of range at line 1 column 6"},
    {"[1e309]", "number out of range at line 1 column 6"},
    {"1.7976931348623159e308", "number out of range at line 1 column 22"},
    {"1e2147483647", "number out of range at line 1 column 12"},
    {"1e21474836480", "number out of range at line 1 column 12"},
    // 1e21474836480
    //            ^ the tenth exponent digit overflows; the last is not read
    {"0.5e2147483647", "number out of range at line 1 column 14"},
    {"0.5e21474836479", "number out of range at line 1 column 15"},
    // Arrays.
    {"1 2", "trailing characters at line 1 column 3"},
    {"[1 2]", "expected `,` or `]` at line 1 column 4"},
    {"[1]]", "trailing characters at line 1 column 4"},
    {"[1,]", "trailing comma at line 1 column 4"},
    // [1,]
    //    ^ column 4
    {"[\"a\",\n\"b\"\n,]", "trailing comma at line 3 column 2"},
    {"[1,2", "EOF while parsing a list at line 1 column 4"},
    {"[", "EOF while parsing a list at line 1 column 1"},
    {"[,1]", "expected value at line 1 column 2"},
    {"[1,,2]", "expected value at line 1 column 4"},
    {"[1,\n", "EOF while parsing a value at line 2 column 0"},
    {"[1,2]\n  x", "trailing characters at line 2 column 3"},
    {"{\"a\":[1,\n2,\n3 4]}", "expected `,` or `]` at line 3 column 3"},
    // Objects.
    {"{", "EOF while parsing an object at line 1 column 1"},
    {"{1:2}", "key must be a string at line 1 column 2"},
    {"{,}", "key must be a string at line 1 column 2"},
    {"{\"a\"", "EOF while parsing an object at line 1 column 4"},
    {"{\"a\":", "EOF while parsing a value at line 1 column 5"},
    {"{\"a\" 1", "expected `:` at line 1 column 6"},
    {"{\"a\":1,\"b\"}", "expected `:` at line 1 column 11"},
    {"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
    {"{\"a\":1 \"b\"", "expected `,` or `}` at line 1 column 8"},
    // {"a":1 "b"
    //        ^ column 8
    {"{\"a\":1,}", "trailing comma at line 1 column 8"},
    {"{\"a\":1 , \"b\":2 , }", "trailing comma at line 1 column 18"},
    {"{\"a\":1,,", "key must be a string at line 1 column 8"},
    {"{\"a\":1}}", "trailing characters at line 1 column 8"},
    // Strings and escapes.
    {"\"abc", "EOF while parsing a string at line 1 column 4"},
    {"\"\\", "EOF while parsing a string at line 1 column 2"},
    {"\"\\x\"", "invalid escape at line 1 column 3"},
    {"{\"a\\q\":1}", "invalid escape at line 1 column 5"},
    {"\"\\u12\"", "EOF while parsing a string at line 1 column 6"},
    // "\u12"  -- fewer than four bytes after u: the end of the text
    {"\"\\u12\"x", "invalid escape at line 1 column 7"},
    {"\"\\uzzzz\"", "invalid escape at line 1 column 7"},
    {"\"\\uDC00\"", "lone leading surrogate in hex escape at line 1 column 7"},
    {"\"\\uDFFF\"", "lone leading surrogate in hex escape at line 1 column 7"},
    {"\"\\uD800\"", "unexpected end of hex escape at line 1 column 8"},
    // "\uD800"
    //        ^ column 8, the byte that broke the pair
    {"\"\\uD800x", "unexpected end of hex escape at line 1 column 8"},
    {"\"\\uD800", "EOF while parsing a string at line 1 column 7"},
    {"\"\\uD800\\", "EOF while parsing a string at line 1 column 8"},
    {"\"\\uD800\\n\"", "unexpected end of hex escape at line 1 column 9"},
    {"\"\\uD800\\u00", "EOF while parsing a string at line 1 column 11"},
    {"\"\\uD800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
    {"\"\\uD800\\uD800\"", "lone leading surrogate in hex escape at line 1 column 13"},
    {"\"\\uDBFF\\uE000\"", "lone leading surrogate in hex escape at line 1 column 13"},
    {"\"a\tb\"",
     "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
    {"\"a\nb\"",
     "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
    {"\"\0\""s,
     "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
    {"\"\x1F\"",
     "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
    {"{\"a\x01\":1}",
     "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"},
    {"\"\xC3\xA9\" x", "trailing characters at line 1 column 6"},  // columns count bytes
};

INSTANTIATE_TEST_SUITE_P(Table, ReaderErrorTest, ::testing::ValuesIn(kErrorCases));

TEST(ReaderErrorTable, CoversEveryMessage) {
  const std::set<std::string> all = {
      "EOF while parsing a value",
      "EOF while parsing a list",
      "EOF while parsing an object",
      "EOF while parsing a string",
      "expected `:`",
      "expected `,` or `]`",
      "expected `,` or `}`",
      "expected ident",
      "expected value",
      "invalid escape",
      "invalid number",
      "number out of range",
      "control character (\\u0000-\\u001F) found while parsing a string",
      "key must be a string",
      "lone leading surrogate in hex escape",
      "trailing comma",
      "trailing characters",
      "unexpected end of hex escape",
  };
  ASSERT_EQ(all.size(), 18u);
  std::set<std::string> seen;
  for (const ErrorCase& c : kErrorCases)
    seen.insert(c.expected.substr(0, c.expected.find(" at line ")));
  EXPECT_EQ(seen, all);
}

TEST(ReaderErrorTable, HeaderTextsMatchTheFixedMessages) {
  const std::vector<std::pair<std::string_view, std::string_view>> rows = {
      {msg::kEofValue, "EOF while parsing a value"},
      {msg::kEofList, "EOF while parsing a list"},
      {msg::kEofObject, "EOF while parsing an object"},
      {msg::kEofString, "EOF while parsing a string"},
      {msg::kExpectedColon, "expected `:`"},
      {msg::kExpectedCommaOrBracket, "expected `,` or `]`"},
      {msg::kExpectedCommaOrBrace, "expected `,` or `}`"},
      {msg::kExpectedIdent, "expected ident"},
      {msg::kExpectedValue, "expected value"},
      {msg::kInvalidEscape, "invalid escape"},
      {msg::kInvalidNumber, "invalid number"},
      {msg::kNumberOutOfRange, "number out of range"},
      {msg::kControlCharacter, "control character (\\u0000-\\u001F) found while parsing a string"},
      {msg::kKeyMustBeString, "key must be a string"},
      {msg::kLoneLeadingSurrogate, "lone leading surrogate in hex escape"},
      {msg::kTrailingComma, "trailing comma"},
      {msg::kTrailingCharacters, "trailing characters"},
      {msg::kUnexpectedEndOfHexEscape, "unexpected end of hex escape"},
  };
  for (const auto& [constant, text] : rows) EXPECT_EQ(constant, text);
}

TEST(JsonErrorTest, RenderJoinsMessageLineAndColumn) {
  EXPECT_EQ((JsonError{msg::kTrailingComma, 12, 345}).render(),
            "trailing comma at line 12 column 345");
  EXPECT_EQ((JsonError{msg::kExpectedValue, 1, 0}).render(), "expected value at line 1 column 0");
}

TEST(JsonErrorTest, PositionCountsLineFeedsOnly) {
  struct Row {
    std::string_view text;
    std::size_t p, line, column;
  };
  const Row rows[] = {
      {"ab\ncd\n\nef", 0, 1, 0}, {"ab\ncd\n\nef", 2, 1, 2},
      {"ab\ncd\n\nef", 3, 2, 0}, {"ab\ncd\n\nef", 5, 2, 2},
      {"ab\ncd\n\nef", 6, 3, 0}, {"ab\ncd\n\nef", 7, 4, 0},
      {"ab\ncd\n\nef", 9, 4, 2}, {"a\r\rb", 4, 1, 4},
      {"\r\n\r\nx", 5, 3, 1},    {"", 0, 1, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE("text [" + hex(r.text) + "] p=" + std::to_string(r.p));
    const JsonError e = JsonError::at(msg::kTrailingComma, r.text, r.p);
    EXPECT_EQ(e.message.code, Fault::TrailingComma);
    EXPECT_EQ(e.line, r.line);
    EXPECT_EQ(e.column, r.column);
  }
}

TEST(ReaderTest, ReadValueStopsRightAfterTheValue) {
  // A literal is complete once its letters are read; the byte after it is
  // left for the end check.
  const ExactText text("truex");
  JsonReader reader(text.view());
  auto value = reader.read_value();
  ASSERT_TRUE(value.ok());
  const auto* b = std::get_if<JsonBool>(&value.value().node);
  ASSERT_NE(b, nullptr);
  EXPECT_TRUE(b->value);
  EXPECT_EQ(reader.index(), 4u);
  auto end = reader.expect_end();
  ASSERT_FALSE(end.ok());
  EXPECT_EQ(end.error().render(), "trailing characters at line 1 column 5");
}

TEST(ReaderTest, EndCheckSkipsOnlyTheFourWhitespaceBytes) {
  struct Row {
    std::string text;
    std::size_t value_end;  // index after read_value
    std::string end_error;  // empty: expect_end succeeds
  };
  const Row rows[] = {
      {" [1] ", 4, ""},
      {"\t\n\r {} \t\n\r ", 6, ""},
      {"0", 1, ""},
      {"\"s\"\f", 3, "trailing characters at line 1 column 4"},
      {"null\n\n  ,", 4, "trailing characters at line 3 column 3"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE("text [" + hex(r.text) + "]");
    const ExactText text(r.text);
    JsonReader reader(text.view());
    ASSERT_TRUE(reader.read_value().ok());
    EXPECT_EQ(reader.index(), r.value_end);
    auto end = reader.expect_end();
    if (r.end_error.empty()) {
      EXPECT_TRUE(end.ok());
      EXPECT_EQ(reader.index(), r.text.size());
    } else {
      ASSERT_FALSE(end.ok());
      EXPECT_EQ(end.error().render(), r.end_error);
    }
  }
}

// ---------------------------------------------------------------------------
// Numbers

struct NumberCase {
  std::string text;
  NumberKind kind;
  std::uint64_t pos = 0;
  std::int64_t neg = 0;
  double dbl = 0.0;
};
NumberCase pos_int(std::string t, std::uint64_t v) {
  return {std::move(t), NumberKind::PosInt, v, 0, 0.0};
}
NumberCase neg_int(std::string t, std::int64_t v) {
  return {std::move(t), NumberKind::NegInt, 0, v, 0.0};
}
NumberCase real(std::string t, double v) {
  return {std::move(t), NumberKind::Double, 0, 0, v};
}

TEST(ReaderNumberTest, KindsAndValues) {
  constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
  constexpr std::int64_t kI64Min = std::numeric_limits<std::int64_t>::min();
  const NumberCase rows[] = {
      pos_int("0", 0),
      pos_int("7", 7),
      pos_int("9007199254740993", 9007199254740993ULL),
      pos_int("10000000000000000000", 10000000000000000000ULL),
      pos_int("18446744073709551615", kU64Max),
      real("18446744073709551616", 18446744073709551616.0),
      neg_int("-1", -1),
      neg_int("-9223372036854775807", kI64Min + 1),
      neg_int("-9223372036854775808", kI64Min),
      real("-9223372036854775809", -9223372036854775808.0),
      real("-18446744073709551615", -18446744073709551616.0),
      real("-0", -0.0),
      real("-0.0", -0.0),
      real("0.0", 0.0),
      real("-0e400", -0.0),
      real("1e2", 100.0),
      real("1E+2", 100.0),
      real("1.0", 1.0),
      real("0.1", 0.1),
      real("-2.5", -2.5),
      real("12.5e-1", 1.25),
      real("1e-2", 0.01),
      real("1e22", 1e22),
      // The 20 leading digits fit in 64 bits, the other ten count as exponent.
      real("123456789012345678901234567890", 1.2345678901234568e29),
      // Fraction digits past 64 bits are dropped: 3e18 / 1e19.
      real("0.30000000000000000000000001", 0.3),
      real("1e308", 1e308),
      real("1.7976931348623157e308", std::numeric_limits<double>::max()),
      real("5e-324", std::numeric_limits<double>::denorm_min()),
      real("4.9e-324", std::numeric_limits<double>::denorm_min()),
      real("1e-400", 0.0),
      real("0e400", 0.0),
      real("0e21474836480", 0.0),
      real("1e-21474836480", 0.0),
      real("-1e-21474836480", -0.0),
      real("1e-2147483648", 0.0),
  };
  for (const NumberCase& r : rows) {
    SCOPED_TRACE(r.text);
    const Outcome o = read_all(r.text);
    ASSERT_TRUE(o.tree.has_value()) << o.error;
    const auto* num = std::get_if<JsonNumber>(&o.tree->node);
    ASSERT_NE(num, nullptr);
    ASSERT_EQ(num->kind, r.kind);
    switch (r.kind) {
      case NumberKind::PosInt:
        EXPECT_EQ(num->pos_int, r.pos);
        break;
      case NumberKind::NegInt:
        EXPECT_EQ(num->neg_int, r.neg);
        break;
      case NumberKind::Double:
        // Bitwise, so that the sign of zero counts.
        EXPECT_EQ(std::bit_cast<std::uint64_t>(num->dbl), std::bit_cast<std::uint64_t>(r.dbl))
            << num->dbl << " vs " << r.dbl;
        break;
    }
  }
}

TEST(ReaderNumberTest, MultiStepScalingDividesBy1e308First) {
  // Below 10^-308 the significand is first divided by 1e308, then by the
  // rest; each step rounds on its own.
  const Outcome o = read_all("2.2250738585072014e-308");
  ASSERT_TRUE(o.tree.has_value()) << o.error;
  volatile double x = 22250738585072014.0;  // volatile: one rounding per step, at run time
  x = x / 1e308;
  x = x / 1e16;
  EXPECT_EQ(std::get<JsonNumber>(o.tree->node).dbl, x);
}

TEST(ReaderNumberTest, RandomIntegersRoundTripThroughDecimalText) {
  std::mt19937_64 rng(20240611);
  for (int k = 0; k < 20000; ++k) {
    // Spread over all magnitudes, not just the huge ones.
    const std::uint64_t v = rng() >> (rng() % 64);
    {
      const Outcome o = read_all(std::to_string(v));
      ASSERT_TRUE(o.tree.has_value()) << v;
      const auto& num = std::get<JsonNumber>(o.tree->node);
      ASSERT_EQ(num.kind, NumberKind::PosInt) << v;
      ASSERT_EQ(num.pos_int, v);
    }
    if (v != 0 && v <= (std::uint64_t{1} << 63)) {
      const std::int64_t neg = static_cast<std::int64_t>(0 - v);
      const Outcome o = read_all(std::to_string(neg));
      ASSERT_TRUE(o.tree.has_value()) << neg;
      const auto& num = std::get<JsonNumber>(o.tree->node);
      ASSERT_EQ(num.kind, NumberKind::NegInt) << neg;
      ASSERT_EQ(num.neg_int, neg);
    }
  }
}

// ---------------------------------------------------------------------------
// Strings and escapes

TEST(ReaderStringTest, EscapesGiveTheirBytes) {
  struct Row {
    std::string text;
    std::string bytes;
  };
  const Row rows[] = {
      {R"("")", ""},
      {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
      {R"("\u0041")", "A"},
      {R"("\u0000")", "\0"s},  // one byte, 0x00
      {R"("a\u0000b")", "a\0b"s},
      {R"("\u007F")", "\x7F"},
      {R"("\u0080")", "\xC2\x80"},
      {R"("\u00e9")", "\xC3\xA9"},
      {R"("\u07FF")", "\xDF\xBF"},
      {R"("\u0800")", "\xE0\xA0\x80"},
      {R"("\u20AC")", "\xE2\x82\xAC"},
      {R"("\uaBcD")", "\xEA\xAF\x8D"},
      {R"("\uD7FF")", "\xED\x9F\xBF"},
      {R"("\uE000")", "\xEE\x80\x80"},
      {R"("\uFFFF")", "\xEF\xBF\xBF"},
      {R"("\uD800\uDC00")", "\xF0\x90\x80\x80"},
      {R"("\uD83D\uDE00")", "\xF0\x9F\x98\x80"},
      {R"("\udbff\udfff")", "\xF4\x8F\xBF\xBF"},
      {R"("plain text before\nand after the escape")", "plain text before\nand after the escape"},
      {R"("x\u0041y\u00e9z")", "xAy\xC3\xA9z"},
      {"\"\x7F raw DEL\"", "\x7F raw DEL"},
      {"\"caf\xC3\xA9\"", "caf\xC3\xA9"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    EXPECT_EQ(hex(string_of(read_all(r.text))), hex(r.bytes));
  }
}

TEST(ReaderStringTest, ScratchBufferStartsEmptyForEveryString) {
  const Outcome o =
      read_all(R"(["long text \n with escape", "\t", "plain", "xyz\u0041", "\"", ""])");
  ASSERT_TRUE(o.tree.has_value()) << o.error;
  const auto& items = std::get<JsonArray>(o.tree->node).items;
  const std::vector<std::string> expected = {
      "long text \n with escape", "\t", "plain", "xyzA", "\"", ""};
  ASSERT_EQ(items.size(), expected.size());
  for (std::size_t k = 0; k < items.size(); ++k) {
    EXPECT_EQ(std::get<JsonString>(items[k].node).value, expected[k]) << k;
  }
}

// Every byte value, at every offset 0..20 from the opening quote and with the
// string starting at eight different alignments, against a byte-by-byte
// expectation: this pins the word-at-a-time scan.
TEST(ReaderStringTest, EveryByteAtEveryOffsetMatchesByteByByteRule) {
  // Plain bytes chosen next to the special ones (0x21, 0x23, 0x5B, 0x5D,
  // 0x20) and with the high bit set over special low bits (0xA2, 0xDC, 0x9F).
  const std::string plain =
      "!#[] \x7F\x80\xA2\xDC\x9F\xFF"
      "Az\xC3\xA9";
  auto plain_run = [&](std::size_t len, std::size_t phase) {
    std::string s;
    for (std::size_t k = 0; k < len; ++k) s += plain[(k + phase) % plain.size()];
    return s;
  };
  const std::string suffix = plain_run(13, 5);
  for (std::size_t lead = 0; lead < 8; ++lead) {
    const std::string ws(lead, lead % 2 == 0 ? ' ' : '\t');
    for (std::size_t offset = 0; offset <= 20; ++offset) {
      const std::string prefix = plain_run(offset, lead);
      for (int b = 0; b < 256; ++b) {
        const char c = static_cast<char>(b);
        std::string text = ws + '"' + prefix + c;
        if (c == '\\') text += 'n';
        text += suffix + '"';
        SCOPED_TRACE("lead " + std::to_string(lead) + " offset " + std::to_string(offset) +
                     " byte " + std::to_string(b));
        const ExactText exact(text);
        JsonReader reader(exact.view());
        auto value = reader.read_value();
        if (c == '"') {
          ASSERT_TRUE(value.ok());
          ASSERT_EQ(std::get<JsonString>(value.value().node).value, prefix);
          ASSERT_EQ(reader.index(), lead + offset + 2);
        } else if (c == '\\') {
          ASSERT_TRUE(value.ok());
          ASSERT_EQ(std::get<JsonString>(value.value().node).value, prefix + '\n' + suffix);
        } else if (b < 0x20) {
          ASSERT_FALSE(value.ok());
          const JsonError& e = value.error();
          ASSERT_EQ(e.message, "control character (\\u0000-\\u001F) found while parsing a string");
          if (c == '\n') {
            ASSERT_EQ(e.line, 2u);
            ASSERT_EQ(e.column, 0u);
          } else {
            ASSERT_EQ(e.line, 1u);
            ASSERT_EQ(e.column, lead + offset + 2);
          }
        } else {
          ASSERT_TRUE(value.ok());
          ASSERT_EQ(std::get<JsonString>(value.value().node).value, prefix + c + suffix);
        }
      }
    }
  }
}

TEST(ReaderStringTest, LongStringsReadWhole) {
  // 1 MiB cycling through printable ASCII and high bytes, no quote or backslash.
  std::string body;
  for (int k = 0; body.size() < (1u << 20); ++k) {
    char c = static_cast<char>(0x20 + (k * 7) % 0xE0);
    if (c == '"' || c == '\\' || c == 0x7F) c = 'q';
    body += c;
  }
  EXPECT_EQ(string_of(read_all('"' + body + '"')), body);

  std::string escaped = "\"";
  std::string decoded;
  for (int k = 0; k < 100000; ++k) {
    escaped += k % 3 == 0 ? "\\n" : k % 3 == 1 ? "\\uD83D\\uDE00" : "ab";
    decoded += k % 3 == 0 ? "\n" : k % 3 == 1 ? "\xF0\x9F\x98\x80" : "ab";
  }
  escaped += '"';
  EXPECT_EQ(string_of(read_all(escaped)), decoded);
}

// Bytes that are not valid UTF-8 break the reader's precondition, but must
// pass through (or fail cleanly) without reading out of bounds.
TEST(ReaderStringTest, InvalidUtf8PassesThroughUnchecked) {
  struct Row {
    std::string text;
    std::string bytes;  // the string read, or the rendered error
  };
  const Row rows[] = {
      {"\"\x80\"", "\x80"},
      {"\"\xFF\xFE\"", "\xFF\xFE"},
      {"\"\xC3\"", "\xC3"},                  // lead byte without its continuation
      {"\"\xED\xA0\x80\"", "\xED\xA0\x80"},  // an encoded surrogate
      {"\"\xC3\\n\"", "\xC3\n"},
      {"\"\\u00e9\xC3\"", "\xC3\xA9\xC3"},
      {"\"\xC3", "<error: EOF while parsing a string at line 1 column 2>"},  // lone 0xC3 at the end
      {"\xC3", "<error: expected value at line 1 column 1>"},
      {"\xFF", "<error: expected value at line 1 column 1>"},
      {"\x80", "<error: expected value at line 1 column 1>"},
      {"[\"a\",\xC3]", "<error: expected value at line 1 column 6>"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE("text [" + hex(r.text) + "]");
    EXPECT_EQ(string_of(read_all(r.text)), r.bytes);
  }
  const Outcome key = read_all("{\"\xFF\":1}");
  ASSERT_TRUE(key.tree.has_value()) << key.error;
  EXPECT_EQ(std::get<JsonObject>(key.tree->node).members.at(0).key, "\xFF");
}

// ---------------------------------------------------------------------------
// Objects and arrays

std::vector<std::pair<std::string, std::int64_t>> int_members(const Outcome& o) {
  std::vector<std::pair<std::string, std::int64_t>> out;
  if (!o.tree) return out;
  for (const JsonMember& m : std::get<JsonObject>(o.tree->node).members) {
    const auto& num = std::get<JsonNumber>(m.value.node);
    out.emplace_back(m.key, static_cast<std::int64_t>(num.pos_int));
  }
  return out;
}

TEST(ReaderObjectTest, KeysInByteOrderLaterDuplicateWins) {
  using Members = std::vector<std::pair<std::string, std::int64_t>>;
  struct Row {
    std::string text;
    Members members;
  };
  const Row rows[] = {
      {R"({})", {}},
      {R"({"b":1,"a":2,"b":3})", {{"a", 2}, {"b", 3}}},
      {R"({"a":1,"a":2,"a":3})", {{"a", 3}}},
      {R"({"ab":1,"a":2,"":3})", {{"", 3}, {"a", 2}, {"ab", 1}}},  // a proper prefix first
      {R"({"a\u0000":1,"a":2})", {{"a", 2}, {"a\0"s, 1}}},
      {R"({"B":1,"a":2,"_":3})", {{"B", 1}, {"_", 3}, {"a", 2}}},
      // Non-ASCII sorts after ASCII; bytes compare unsigned.
      {"{\"\xC3\xA9\":1,\"z\":2,\"\\u0080\":3}", {{"z", 2}, {"\xC2\x80", 3}, {"\xC3\xA9", 1}}},
      // The same key, once raw and once escaped: one key, the later value.
      {"{\"\xC3\xA9\":1,\"\\u00e9\":2}", {{"\xC3\xA9", 2}}},
      {R"({"\uFFFF":1,"\uD800\uDC00":2,"\u0800":3})",
       {{"\xE0\xA0\x80", 3}, {"\xEF\xBF\xBF", 1}, {"\xF0\x90\x80\x80", 2}}},
      {R"({"c":1,"b":2,"a":3,"b":4,"c":5,"a":6})", {{"a", 6}, {"b", 4}, {"c", 5}}},
      // Keys around sixteen bytes that differ only at or after the 16th byte.
      {R"({"0123456789abcdefZ":1,"0123456789abcdef":2,"0123456789abcdeA":3,)"
       R"("0123456789abcdef\u0000":4,"0123456789abcdefA":5})",
       {{"0123456789abcdeA", 3},
        {"0123456789abcdef", 2},
        {"0123456789abcdef\0"s, 4},
        {"0123456789abcdefA", 5},
        {"0123456789abcdefZ", 1}}},
      {R"({"long key beyond sixteen bytes":1,"long key beyond sixteen bytez":2,)"
       R"("long key beyond sixteen bytes":3})",
       {{"long key beyond sixteen bytes", 3}, {"long key beyond sixteen bytez", 2}}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    const Outcome o = read_all(r.text);
    ASSERT_TRUE(o.tree.has_value()) << o.error;
    EXPECT_EQ(int_members(o), r.members);
  }
}

TEST(ReaderObjectTest, DuplicateReplacesValueOfAnyKind) {
  const Outcome o = read_all(R"({"a":[1,2],"b":null,"a":{"x":"y"}})");
  ASSERT_TRUE(o.tree.has_value()) << o.error;
  const auto& members = std::get<JsonObject>(o.tree->node).members;
  ASSERT_EQ(members.size(), 2u);
  EXPECT_EQ(members[0].key, "a");
  const auto& inner = std::get<JsonObject>(members[0].value.node).members;
  ASSERT_EQ(inner.size(), 1u);
  EXPECT_EQ(std::get<JsonString>(inner[0].value.node).value, "y");
  EXPECT_EQ(members[1].key, "b");
  EXPECT_TRUE(std::holds_alternative<JsonNull>(members[1].value.node));
}

TEST(ReaderObjectTest, ManyShuffledKeysAgreeWithAnOrderedMap) {
  std::mt19937 rng(7);
  const std::vector<std::string> pieces = {"",  "a",        "ab",
                                           "b", "\xC3\xA9", "\xF0\x9F\x98\x80",
                                           "Z", "0",        "a piece longer than sixteen bytes"};
  std::map<std::string, std::int64_t> expected;  // std::string orders bytes unsigned
  std::string text = "{";
  for (int k = 0; k < 3000; ++k) {
    std::string key = pieces[rng() % pieces.size()] + pieces[rng() % pieces.size()] +
                      pieces[rng() % pieces.size()];
    if (k != 0) text += ',';
    text += '"' + key + "\":" + std::to_string(k);
    expected[key] = k;
  }
  text += '}';
  const Outcome o = read_all(text);
  ASSERT_TRUE(o.tree.has_value()) << o.error;
  const std::vector<std::pair<std::string, std::int64_t>> want(expected.begin(), expected.end());
  EXPECT_EQ(int_members(o), want);
}

TEST(ReaderStructureTest, NestedValuesKeepTheirShape) {
  const Outcome o = read_all(R"( [null, true ,false,{"a":[]},[],"",{"x":{"y":[1,{"z":-2}]}}] )");
  ASSERT_TRUE(o.tree.has_value()) << o.error;
  const auto& items = std::get<JsonArray>(o.tree->node).items;
  ASSERT_EQ(items.size(), 7u);
  EXPECT_TRUE(std::holds_alternative<JsonNull>(items[0].node));
  EXPECT_TRUE(std::get<JsonBool>(items[1].node).value);
  EXPECT_FALSE(std::get<JsonBool>(items[2].node).value);
  const auto& a = std::get<JsonObject>(items[3].node).members;
  ASSERT_EQ(a.size(), 1u);
  EXPECT_TRUE(std::get<JsonArray>(a[0].value.node).items.empty());
  EXPECT_TRUE(std::get<JsonArray>(items[4].node).items.empty());
  EXPECT_EQ(std::get<JsonString>(items[5].node).value, "");
  const auto& x = std::get<JsonObject>(items[6].node).members.at(0);
  const auto& y = std::get<JsonObject>(x.value.node).members.at(0);
  const auto& list = std::get<JsonArray>(y.value.node).items;
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(std::get<JsonNumber>(list[0].node).pos_int, 1u);
  const auto& z = std::get<JsonObject>(list[1].node).members.at(0);
  EXPECT_EQ(z.key, "z");
  EXPECT_EQ(std::get<JsonNumber>(z.value.node).neg_int, -2);
}

TEST(ReaderStructureTest, AllFourWhitespaceBytesBetweenTokens) {
  const std::string ws = " \t\n\r";
  const std::string text = ws + "[" + ws + "1" + ws + "," + ws + "{" + ws + "\"k\"" + ws + ":" +
                           ws + "2" + ws + "}" + ws + "]" + ws;
  const Outcome o = read_all(text);
  ASSERT_TRUE(o.tree.has_value()) << o.error;
  const auto& items = std::get<JsonArray>(o.tree->node).items;
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(std::get<JsonObject>(items[1].node).members.at(0).key, "k");
}

TEST(ReaderStructureTest, DeepestNestingTheGateAllows) {
  const std::size_t depth = 257;
  const Outcome o = read_all(std::string(depth, '[') + std::string(depth, ']'));
  ASSERT_TRUE(o.tree.has_value()) << o.error;
  std::size_t seen = 0;
  const JsonTree* node = &*o.tree;
  while (const auto* arr = std::get_if<JsonArray>(&node->node)) {
    ++seen;
    if (arr->items.empty()) break;
    ASSERT_EQ(arr->items.size(), 1u);
    node = &arr->items[0];
  }
  EXPECT_EQ(seen, depth);
}

// ---------------------------------------------------------------------------
// Bounds safety

const std::vector<std::string> kValidDocuments = {
    R"({"name":"caf\u00e9 \uD83D\uDE00","list":[1,-2,3.25e-2,true,false,null,{"":[]}],)"
    R"("esc":"a\"b\\c\/\b\f\n\r\t","big":18446744073709551616,"neg":-9223372036854775808})",
    "[ {\"a\" : [ 1 , 2 ] } ,\n \"x\\u0041y\" , -0.5E+3 , 0 ,\r\n\t1e-7 ]",
    R"("a plain string longer than eight bytes, then \u00e9 and raw )"
    "\xC3\xA9\"",
    R"({"\u00e9":{"k":[[[]]]},"z":"\uDBFF\uDFFF","n":-0.0})",
};

// A valid document cut off anywhere is an error at the end of the text, and
// always one of the EOF messages.
TEST(ReaderBoundsTest, EveryPrefixOfAValidDocumentFailsAtItsEnd) {
  for (const std::string& doc : kValidDocuments) {
    ASSERT_TRUE(read_all(doc).tree.has_value()) << doc << ": " << read_all(doc).error;
    for (std::size_t len = 0; len < doc.size(); ++len) {
      const std::string prefix = doc.substr(0, len);
      SCOPED_TRACE("prefix [" + prefix + "]");
      const ExactText text(prefix);
      JsonReader reader(text.view());
      auto value = reader.read_value();
      ASSERT_FALSE(value.ok());
      const JsonError& e = value.error();
      EXPECT_EQ(e.message.text.substr(0, 17), "EOF while parsing");
      const std::size_t last_lf = prefix.rfind('\n');
      const std::size_t line =
          1 + static_cast<std::size_t>(std::count(prefix.begin(), prefix.end(), '\n'));
      const std::size_t column = last_lf == std::string::npos ? len : len - last_lf - 1;
      EXPECT_EQ(e.line, line);
      EXPECT_EQ(e.column, column);
    }
  }
}

// Overwrite each byte of the valid documents with bytes that upset the
// grammar; whatever comes out must be a tree or one of the fixed messages at
// a position inside the text.
TEST(ReaderBoundsTest, CorruptedBytesNeverReadOutOfBounds) {
  std::set<std::string_view> messages;
  for (const ErrorCase& c : kErrorCases) {
    messages.insert(std::string_view(c.expected).substr(0, c.expected.find(" at line ")));
  }
  const std::string replacements("\0\"\\}]\x01\xFF\xC3u0e-,:"s);
  for (const std::string& doc : kValidDocuments) {
    for (std::size_t k = 0; k < doc.size(); ++k) {
      for (char r : replacements) {
        std::string text = doc;
        text[k] = r;
        const ExactText exact(text);
        JsonReader reader(exact.view());
        auto value = reader.read_value();
        if (value.ok()) {
          auto end = reader.expect_end();
          if (end.ok()) continue;
          ASSERT_TRUE(messages.count(end.error().message)) << end.error().render();
          continue;
        }
        const JsonError& e = value.error();
        ASSERT_TRUE(messages.count(e.message)) << e.render();
        ASSERT_GE(e.line, 1u);
        ASSERT_LE(e.column, text.size());
      }
    }
  }
}

}  // namespace
}  // namespace quorl::json
