// Every refusal carries the code of its fixed message, whichever stage and
// path finds it, and its message is that code's text (after the invalid-JSON
// prefix for the reader's, before the variable tail of the others).
#include "base/messages.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <string_view>

#include "core/canonical_text.h"
#include "core/digest.h"
#include "core/exact/input_gate.h"

namespace quorl {
namespace {

struct Row {
  std::string text;
  Fault code;
};

void PrintTo(const Row& row, std::ostream* os) {
  *os << row.text;
}

class RefusalCode : public ::testing::TestWithParam<Row> {};

TEST_P(RefusalCode, CarriesItsCodeAndItsText) {
  const Row& row = GetParam();
  const Result<std::string> bytes = py_canonical_bytes_from_json(row.text);
  ASSERT_FALSE(bytes.ok());
  EXPECT_EQ(bytes.error().code, row.code);
  const std::string_view text = message_of(row.code).text;
  if (row.code <= Fault::UnexpectedEndOfHexEscape) {
    EXPECT_EQ(bytes.error().message.substr(0, msg::kInvalidJsonPrefix.text.size() + text.size()),
              std::string(msg::kInvalidJsonPrefix.text) + std::string(text));
  } else {
    EXPECT_EQ(bytes.error().message, text);
  }
  // The digest reports the same refusal (none of these documents has a
  // root "digest" member).
  const Result<std::string> digest = py_digest_from_json(row.text, "run");
  ASSERT_FALSE(digest.ok());
  EXPECT_EQ(digest.error(), bytes.error());
}

INSTANTIATE_TEST_SUITE_P(
    EveryStage, RefusalCode,
    ::testing::Values(
        Row{"", Fault::EofValue}, Row{"[1", Fault::EofList}, Row{"{\"a\":1", Fault::EofObject},
        Row{"\"ab", Fault::EofString}, Row{"{\"a\" 1}", Fault::ExpectedColon},
        Row{"[1 2]", Fault::ExpectedCommaOrBracket},
        Row{"{\"a\":1 \"b\":2}", Fault::ExpectedCommaOrBrace}, Row{"nul", Fault::EofValue},
        Row{"nulx", Fault::ExpectedIdent}, Row{"[?]", Fault::ExpectedValue},
        Row{"\"\\q\"", Fault::InvalidEscape}, Row{"\"a\x01\"", Fault::ControlCharacter},
        Row{"{1:2}", Fault::KeyMustBeString}, Row{"\"\\udc00\"", Fault::LoneLeadingSurrogate},
        Row{"[1,]", Fault::TrailingComma}, Row{"1 2", Fault::TrailingCharacters},
        Row{"\"\\ud800x\"", Fault::UnexpectedEndOfHexEscape},
        Row{std::string(258, '['), Fault::Depth},
        Row{std::string(129, '[') + std::string(129, ']'), Fault::Depth},
        Row{"[1.5]", Fault::Float}, Row{"{\"$nan\":1}", Fault::NaN},
        Row{"{\"$inf\":1}", Fault::Infinity}, Row{"12345678901234567", Fault::BareInteger},
        Row{"{\"$int\":\"1x\"}", Fault::IntPayload}, Row{"{\"$str\":1}", Fault::StrPayload},
        Row{"{\"$obj\":1}", Fault::ObjPayload}, Row{"{\"$arr\":1}", Fault::ArrPayload},
        Row{"{\"$bool\":1}", Fault::BoolPayload}, Row{"{\"$null\":false}", Fault::NullPayload},
        Row{"{\"$float\":\"1\"}", Fault::Float}));

TEST(RefusalCode, VariableTailsKeepTheirFixedStartAndCode) {
  const Result<std::string> profile = py_digest_from_json("1", "nope");
  ASSERT_FALSE(profile.ok());
  EXPECT_EQ(profile.error().code, Fault::UnknownProfile);
  EXPECT_EQ(profile.error().message, std::string(msg::kUnknownProfilePrefix.text) + "nope");
  const Result<Unit> utf8 = check_utf8("ab\xff");
  ASSERT_FALSE(utf8.ok());
  EXPECT_EQ(utf8.error().code, Fault::InvalidUtf8);
  EXPECT_EQ(utf8.error().message, std::string(msg::kInvalidUtf8Prefix.text) + "2");
}

TEST(MessageTable, TextsAreDistinct) {
  std::set<std::string_view> seen;
  for (const Message& m : kMessages) EXPECT_TRUE(seen.insert(m.text).second) << m.text;
}

}  // namespace
}  // namespace quorl
