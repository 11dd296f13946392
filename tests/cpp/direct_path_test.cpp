// The direct path must agree with the exact path (gate, reader, decoder,
// encoder) byte for byte whenever it answers, and must decline whenever the
// exact path fails.
#include "core/direct/direct_path.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "core/canonical_text.h"
#include "core/digest.h"
#include "core/direct/direct_reader.h"
#include "core/exact/encoder.h"
#include "core/exact/input_gate.h"
#include "json/reader/json_error.h"
#include "test_support.h"

namespace quorl {
namespace {

// The exact path's canonical text, or "ERROR: <message>".
std::string exact(std::string_view text, bool skip_digest_key) {
  Result<std::string> r = exact_canonical_text(text, skip_digest_key);
  return r.ok() ? r.value() : "ERROR: " + r.error().message;
}

// Checks the contract for one text in both modes; returns whether the direct
// path answered in canonical mode.
bool check_agreement(const std::string& text) {
  bool answered = false;
  for (bool skip : {false, true}) {
    std::string direct;
    const bool ok = direct_canonical(text, skip, direct);
    const std::string expected = exact(text, skip);
    if (ok) {
      EXPECT_EQ(direct, expected) << "skip=" << skip << " text: " << text;
    } else {
      // Declining is always allowed; the exact path then decides.
    }
    if (!skip) answered = ok;
  }
  return answered;
}

// In canonical mode: the direct path gives the exact text, or declines a
// text that the exact path refuses. The text is read from a buffer of its
// own size, so that the sanitizers see a read past its end.
void expect_same_or_declined_fault(const std::string& text) {
  const std::unique_ptr<char[]> own_size(new char[text.size()]);
  std::memcpy(own_size.get(), text.data(), text.size());
  const std::string_view view(own_size.get(), text.size());
  std::string direct;
  const bool ok = direct_canonical(view, false, direct);
  const std::string expected = exact(view, false);
  if (ok) {
    EXPECT_EQ(direct, expected) << text;
  } else {
    EXPECT_EQ(expected.rfind("ERROR: ", 0), 0u) << "declined a valid text: " << text;
  }
}

struct Row {
  const char* text;
  const char* canonical;  // what both paths give in canonical mode
};

class DirectAnswers : public ::testing::TestWithParam<Row> {};

TEST_P(DirectAnswers, SameBytesAsExactPath) {
  const Row& row = GetParam();
  std::string direct;
  ASSERT_TRUE(direct_canonical(row.text, false, direct)) << row.text;
  EXPECT_EQ(direct, row.canonical);
  EXPECT_EQ(exact(row.text, false), row.canonical);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, DirectAnswers,
    ::testing::Values(
        Row{R"({"b":[1,-20,true],"a":"x\"y\n","é":null,"A":{"z":0,"y":""}})",
            "{\"A\":{\"y\":\"\",\"z\":0},\"a\":\"x\\\"y\\u000a\",\"b\":[1,-20,true],\"\xC3\xA9\":"
            "null}"},
        Row{" [ 1 , 2 ]\t\r\n", "[1,2]"}, Row{"0", "0"},
        Row{"-9007199254740991", "-9007199254740991"}, Row{"9007199254740991", "9007199254740991"},
        Row{"[]", "[]"}, Row{"{}", "{}"},
        Row{R"("\u00e9\ud83d\ude00\/\b\f")", "\"\xC3\xA9\xF0\x9F\x98\x80/\\u0008\\u000c\""},
        Row{R"({"\u0062":1,"a":2})", R"({"a":2,"b":1})"}, Row{R"({"$int":"-000123"})", "-123"},
        Row{R"({"$int":"-000"})", "0"},
        Row{R"({"$int":"123456789012345678901234567890"})", "123456789012345678901234567890"},
        Row{R"({"$str":"$int"})", R"("$int")"}, Row{R"({"$arr":[{"$int":"5"}]})", "[5]"},
        Row{R"({"$obj":{"$int":"5"}})", R"({"$int":"5"})"},
        Row{R"({"$obj":{"$obj":{"$int":"5"}}})", R"({"$obj":5})"},
        Row{R"({"$bool":false})", "false"}, Row{R"({"$null":true})", "null"},
        Row{R"({"$int":"5","x":1})", R"({"$int":"5","x":1})"},
        Row{R"({"x":{"$obj":{"$int":"5"}},"y":{"$int":"7"}})", R"({"x":{"$int":"5"},"y":7})"},
        Row{R"({"$quorl-vector:lone-surrogate":0})", R"({"$quorl-vector:lone-surrogate":0})"},
        Row{R"({"z":1,"digest":2,"a":3})", R"({"a":3,"digest":2,"z":1})"}));

TEST(DirectPath, LeavesOutRootDigestOnlyWhenAsked) {
  // root "digest" members go, nested ones stay
  const std::string text = R"({"z":1,"digest":{"digest":2},"a":{"digest":3}})";
  std::string out;
  ASSERT_TRUE(direct_canonical(text, true, out));
  EXPECT_EQ(out, R"({"a":{"digest":3},"z":1})");
  EXPECT_EQ(out, exact(text, true));
  ASSERT_TRUE(direct_canonical(R"({"digest":1})", true, out));
  EXPECT_EQ(out, "{}");
}

// Small objects are put in order within the raw text, and so is one with
// such a one inside while it is small and the bytes moved again stay
// within their budget, else it is recorded; either way every byte must land
// in its place, at every nesting depth and on both sides of the limits.
TEST(DirectPath, ReorderedObjectsAtEveryDepthAndSize) {
  for (int depth = 1; depth <= 128; depth += (depth < 8 ? 1 : 20)) {
    std::string text, expected;
    for (int d = 0; d < depth; ++d) {
      text += R"({"b":)";
      expected += R"({"a":)" + std::to_string(d) + R"(,"b":)";
    }
    text += "0";
    expected += "0";
    for (int d = depth - 1; d >= 0; --d) {
      text += R"(,"a":)" + std::to_string(d) + "}";
      expected += "}";
    }
    std::string direct;
    ASSERT_TRUE(direct_canonical(text, false, direct)) << depth;
    EXPECT_EQ(direct, expected) << depth;
  }
  for (std::size_t pad = 4040; pad <= 4110; pad += 7) {
    // {"z":"xx..x","m":{"y":1,"x":[2,{"$int":"3"}]},"a":{"q":0,"p":1}}
    const std::string fill(pad, 'x');
    const std::string text =
        R"({"z":")" + fill + R"(","m":{"y":1,"x":[2,{"w":1,"v":2}]},"a":{"q":0,"p":1}})";
    const std::string expected =
        R"({"a":{"p":1,"q":0},"m":{"x":[2,{"v":2,"w":1}],"y":1},"z":")" + fill + R"("})";
    const std::string tagged =
        R"({"z":")" + fill + R"(","m":{"y":1,"x":[2,{"$int":"3"}]},"a":{"q":0,"p":1}})";
    const std::string tagged_expected =
        R"({"a":{"p":1,"q":0},"m":{"x":[2,3],"y":1},"z":")" + fill + R"("})";
    for (bool skip : {false, true}) {
      std::string direct;
      ASSERT_TRUE(direct_canonical(text, skip, direct)) << pad;
      EXPECT_EQ(direct, expected) << pad;
      ASSERT_TRUE(direct_canonical(tagged, skip, direct)) << pad;
      EXPECT_EQ(direct, tagged_expected) << pad;
    }
  }
}

// Number tokens around the edges of the one-pass scan: leading zeros, "-0",
// the digit count where the bound check starts, tokens that go on as floats,
// and a token that ends the text.
class DirectNumberTokens : public ::testing::TestWithParam<const char*> {};

TEST_P(DirectNumberTokens, DirectAndExactAgree) {
  const std::string token = GetParam();
  for (const std::string& text : {token, "[" + token + "]", R"({"b":)" + token + R"(,"a":0})"}) {
    expect_same_or_declined_fault(text);
  }
}

INSTANTIATE_TEST_SUITE_P(Edges, DirectNumberTokens,
                         ::testing::Values("0", "-0", "00", "01", "-01", "7", "-7", "10",
                                           "999999999999999", "-999999999999999",
                                           "1000000000000000", "9007199254740991",
                                           "9007199254740992", "-9007199254740991",
                                           "-9007199254740992", "12345678901234567", "1e5", "1E5",
                                           "1.0", "-", "--1", "1-", "1+2", "0e", "1.", "-.5"));

// A member read in one step (a compact key and a scalar, then ',' or '}')
// beside every way it can fall short: a value cut off or glued on, space
// around it or before the colon, the text ending, and tag keys whose
// payload is checked at the close.
class CompactMembers : public ::testing::TestWithParam<const char*> {};

TEST_P(CompactMembers, DirectAndExactAgree) {
  const std::string v = GetParam();
  for (const char* key : {"k", "$obj", "$int", "$null", "$bool", "$str"}) {
    const std::string k = std::string("\"") + key + "\":";
    for (const std::string& text :
         {"{" + k + v + "}", "{" + k + v + ",\"a\":0}", "{" + k + v, "[{" + k + v + " }]",
          "{\"z\":{" + k + v + "},\"a\":[]}", "{" + k + " " + v + "}",
          "{\"" + std::string(key) + "\" :" + v + "}"}) {
      expect_same_or_declined_fault(text);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Values, CompactMembers,
                         ::testing::Values("\"x\"", "\"\"", "\"a\\\"b\"", "\"a", "\"a\tb\"", "true",
                                           "tru", "truex", "false", "fals", "null", "nul", "nullx",
                                           "1", "7x", "1.5", "123456789012345", "1234567890123456",
                                           "-1", "0", "[]", "{}", " 1", "", R"("q\\")",
                                           R"("\"\\\"")", R"("\"\n")", R"("a\")",
                                           R"("a\"\u00e9")"));

// "$int" payloads checked eight digits at a time: a byte just outside
// '0'..'9' at every place of a long payload, and with a sign or zeros first.
class IntPayloadBytes : public ::testing::TestWithParam<char> {};

TEST_P(IntPayloadBytes, DirectAndExactAgree) {
  for (const std::string lead : {"", "-", "000", "-0"}) {
    for (std::size_t size : {1, 7, 8, 9, 16, 23, 31}) {
      for (std::size_t at = 0; at <= size; ++at) {
        std::string digits = lead + std::string(size, '7');
        if (at < size) digits[lead.size() + at] = GetParam();
        const std::string text = R"({"b":{"$int":")" + digits + R"("},"a":1})";
        expect_same_or_declined_fault(text);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Bytes, IntPayloadBytes,
                         ::testing::Values('/', ':', '?', 'A', ' ', '\x7f', '\xb9', '0', '9'));

// Objects of every size around the small-sort limit, with keys that tie in
// their first eight bytes, escaped keys and repeated keys, and with member
// text on both sides of the stack copy used when reordering in place. Keys
// come shuffled; the expected text sorts them independently.
struct SortShape {
  const char* name;
  const char* key_stem;  // keys are stem + number
  bool escape_first;     // the first character of each key written as \u00XX
  bool repeat;           // one key written twice: the exact path decides
};

void PrintTo(const SortShape& shape, std::ostream* os) {
  *os << shape.name;
}

class MemberOrder : public ::testing::TestWithParam<SortShape> {};

TEST_P(MemberOrder, EveryCountAndSizeAgrees) {
  const SortShape& shape = GetParam();
  std::mt19937 rng(7);
  for (std::size_t count : {2, 3, 8, 15, 16, 17, 40}) {
    for (std::size_t pad : {std::size_t{0}, std::size_t{20}, 470 / count, 530 / count}) {
      std::vector<std::string> keys;
      for (std::size_t k = 0; k < count; ++k)
        keys.push_back(shape.key_stem + std::to_string(k * 7 % 100));
      if (shape.repeat) keys.back() = keys.front();
      std::shuffle(keys.begin(), keys.end(), rng);
      std::string text = "{";
      std::vector<std::pair<std::string, std::string>> sorted;
      for (std::size_t k = 0; k < count; ++k) {
        const std::string value = "\"" + std::string(pad, 'v') + std::to_string(k) + "\"";
        std::string key = keys[k];
        if (shape.escape_first) {
          char esc[8];
          std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned char>(key[0]));
          key = esc + key.substr(1);
        }
        text += (k ? "," : "") + ("\"" + key + "\":") + value;
        sorted.emplace_back(keys[k], value);
      }
      text += "}";
      std::sort(sorted.begin(), sorted.end());
      std::string expected = "{";
      for (const auto& [key, value] : sorted)
        expected += (expected.size() > 1 ? "," : "") + ("\"" + key + "\":") + value;
      expected += "}";
      for (const std::string& doc :
           {text, "[" + text + "]", R"({"x":[)" + text + R"(,{"$int":"5"}]})"}) {
        std::string direct;
        const bool ok = direct_canonical(doc, false, direct);
        if (shape.repeat) {
          EXPECT_FALSE(ok) << doc;
          continue;
        }
        ASSERT_TRUE(ok) << doc;
        EXPECT_EQ(direct, exact(doc, false));
        if (doc == text) {
          EXPECT_EQ(direct, expected);
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, MemberOrder,
    ::testing::Values(SortShape{"Short", "k", false, false},
                      SortShape{"TiedPrefix", "common_prefix_", false, false},
                      SortShape{"Escaped", "key", true, false},
                      SortShape{"EscapedTiedPrefix", "common_prefix_", true, false},
                      SortShape{"Repeated", "k", false, true},
                      SortShape{"RepeatedTiedPrefix", "common_prefix_", false, true}),
    [](const ::testing::TestParamInfo<SortShape>& info) { return std::string(info.param.name); });

// Objects of a shape met before are put in the order remembered for it, so
// an object that differs from a remembered shape in any one key (a byte
// past the first eight, its size, its place, an escape, a repeat, a root
// "digest") must be sorted afresh. Each row is a first object's keys and a
// second's, read in one text and in two reads of one DirectText, both
// checked against the exact path.
struct ShapePair {
  const char* name;
  std::vector<std::string> first, second;
};

void PrintTo(const ShapePair& row, std::ostream* os) {
  *os << row.name;
}

std::vector<std::string> profile_keys(std::size_t count) {
  std::vector<std::string> keys;
  for (std::size_t k = 0; k < count; ++k)
    keys.push_back("profile_field_" + std::string(k % 3, 'x') +
                   std::to_string((count - k) * 37 % 101));
  return keys;
}

std::vector<std::string> with(std::vector<std::string> keys, std::size_t at, std::string key) {
  keys[at] = std::move(key);
  return keys;
}

std::string flipped(std::string key, std::size_t at) {
  key[at] ^= 1;
  return key;
}

std::string object_of(const std::vector<std::string>& keys) {
  std::string text = "{";
  for (std::size_t k = 0; k < keys.size(); ++k)
    text += (k ? ",\"" : "\"") + keys[k] + "\":" + std::to_string(k);
  return text + "}";
}

class KnownShapes : public ::testing::TestWithParam<ShapePair> {};

TEST_P(KnownShapes, AnyChangedKeyIsSortedAfresh) {
  const ShapePair& row = GetParam();
  const std::string a = object_of(row.first), b = object_of(row.second);
  // Texts that read without a fault are the direct path's to answer, but
  // for repeated keys (the later one wins: the exact path's rule).
  std::vector<std::string> keys = row.second;
  std::sort(keys.begin(), keys.end());
  const bool repeats = std::adjacent_find(keys.begin(), keys.end()) != keys.end();
  const auto check = [&](bool answered, const std::string& direct, const std::string& text,
                         bool skip) {
    const std::string expected = exact(text, skip);
    EXPECT_TRUE(answered == (expected.rfind("ERROR", 0) != 0) || repeats) << text;
    if (answered) {
      EXPECT_EQ(direct, expected) << text;
    }
  };
  for (bool skip : {false, true}) {
    for (const std::string& text :
         {"[" + a + "," + b + "," + a + "]", R"({"z":)" + a + R"(,"y":)" + b + "}"}) {
      std::string direct;
      const bool answered = direct_canonical(text, skip, direct);
      check(answered, direct, text, skip);
    }
    DirectText doc;
    for (const std::string* text : {&a, &b, &a}) {
      const bool answered = doc.read(*text, skip);
      check(answered, answered ? doc.take_text() : "", *text, skip);
    }
  }
}

const std::vector<std::string> kShort = {"url", "name", "id", "color"};
const std::vector<std::string> kLong = profile_keys(12);
const std::vector<std::string> kMany = profile_keys(40);
// Pairs of keys that differ in one byte past the eighth, for tails of 1,
// 3, 5 and 22 bytes: flipping that byte in the second key of a pair makes
// it the first key again, a repeat that only a sort finds.
const std::vector<std::string> kTails = {
    "samepref" + std::string(12, 'w') + "c" + std::string(9, 'w'),
    "samepref" + std::string(12, 'w') + "b" + std::string(9, 'w'),
    "sameprefyyyyc",
    "sameprefyyyyb",
    "sameprefczzzz",
    "sameprefbzzzz",
    "sameprefxcx",
    "sameprefxbx",
    "sameprefc",
    "sameprefb"};

INSTANTIATE_TEST_SUITE_P(
    Rows, KnownShapes,
    ::testing::Values(
        ShapePair{"ShortSame", kShort, kShort},
        ShapePair{"ShortOneSize", kShort, with(kShort, 2, "idd")},
        ShapePair{"ShortSwapped", kShort, {"url", "id", "name", "color"}},
        ShapePair{"ShortRepeat", kShort, with(kShort, 3, "url")},
        ShapePair{"ShortDigest", kShort, with(kShort, 1, "digest")},
        ShapePair{"ShortNulByte", {"b\\u0000", "b"}, {"b", "b\\u0000"}},
        ShapePair{"ShortEscaped", kShort, with(kShort, 1, "\\u006eame")},
        ShapePair{"LongSame", kLong, kLong},
        ShapePair{"LongTailByte", kLong, with(kLong, 5, flipped(kLong[5], 10))},
        ShapePair{"LongNinthByte", kLong, with(kLong, 7, flipped(kLong[7], 8))},
        ShapePair{"LongLastByte", kLong, with(kLong, 11, flipped(kLong[11], kLong[11].size() - 1))},
        ShapePair{"LongOneSize", kLong, with(kLong, 4, kLong[4] + "0")},
        ShapePair{"LongRepeat", kLong, with(kLong, 9, kLong[2])},
        ShapePair{"LongEscaped", kLong, with(kLong, 3, "\\u0070" + kLong[3].substr(1))},
        ShapePair{"TailOfOne", kTails, with(kTails, 8, flipped(kTails[8], 8))},
        ShapePair{"TailOfThreeMiddle", kTails, with(kTails, 6, flipped(kTails[6], 9))},
        ShapePair{"TailOfFiveFirst", kTails, with(kTails, 4, flipped(kTails[4], 8))},
        ShapePair{"TailOfFiveLast", kTails, with(kTails, 2, flipped(kTails[2], 12))},
        ShapePair{"TailOfTwentyTwo", kTails, with(kTails, 0, flipped(kTails[0], 20))},
        ShapePair{"ManySame", kMany, kMany},
        ShapePair{"ManyTailByte", kMany, with(kMany, 30, flipped(kMany[30], 12))},
        ShapePair{"ManyPlusOne", kMany, profile_keys(41)},
        ShapePair{"SixtyFive", profile_keys(65), profile_keys(65)},
        ShapePair{"LongKeys",
                  {std::string(300, 'k'), std::string(299, 'k')},
                  {std::string(300, 'k'), std::string(298, 'k')}}),
    [](const ::testing::TestParamInfo<ShapePair>& info) { return std::string(info.param.name); });

// Objects of keys r, then followers f, then r again: so that r's keys are
// kept, f compared with them, f's own keys kept in turn, and r compared
// with those.
std::string sibling_run(const std::string& r, const std::string& f) {
  std::string run = r + "," + r + "," + r;
  for (int k = 0; k < 5; ++k) run += "," + f;
  return run + "," + r + "," + r + "," + f;
}

// An object whose keys are those of the object before it at its depth
// takes that object's order without its keys being looked up. Each row is
// such a follower that differs in one way (a key's byte, size, spelling or
// place, whitespace, a repeat, a nested value, a fault), read after objects
// it follows, several times over (so that its own keys are learnt in turn),
// in an array, as member values, and at the depths around the deepest that
// keeps keys. Only repeated keys may be declined without a fault.
struct Follower {
  const char* text;
  bool repeats = false;
};

void PrintTo(const Follower& row, std::ostream* os) {
  *os << row.text;
}

class SiblingRecords : public ::testing::TestWithParam<Follower> {};

TEST_P(SiblingRecords, FollowersAgreeWithTheExactPath) {
  const std::string f = GetParam().text;
  for (const std::string r : {R"({"name":"a","url":"b","color":"c"})",
                              R"({"abcdefghijklm":1,"b":2})", R"({"a":1,"abcdefghijklmn":2})"}) {
    const std::string run = sibling_run(r, f);
    for (std::size_t depth : {0, 6, 7, 8}) {
      const std::string open(depth, '['), close(depth, ']');
      for (const std::string& text :
           {open + "[" + run + "]" + close, open + R"({"w":)" + r + R"(,"x":)" + r + R"(,"y":)" +
                                                f + R"(,"z":)" + f + "}" + close}) {
        if (GetParam().repeats) {
          check_agreement(text);
        } else {
          expect_same_or_declined_fault(text);
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Followers, SiblingRecords,
    ::testing::Values(
        Follower{R"({"name":"a","url":"b","color":"c"})"},
        Follower{R"({"name":"a","url":"b","colos":"c"})"},
        Follower{R"({"name":"a","url":"b","colo":"c"})"},
        Follower{R"({"name":"a","url":"b","colorx":"c"})"},
        Follower{R"({"name" :"a","url":"b","color":"c"})"},
        Follower{R"({"name": "a","url":"b","color":"c"})"},
        Follower{R"({"n\u0061me":"a","url":"b","color":"c"})"},
        Follower{R"({"url":"b","name":"a","color":"c"})"}, Follower{R"({"name":"a","url":"b"})"},
        Follower{R"({"name":"a","url":"b","color":"c","x":1})"},
        Follower{R"({"name":"a","url":"b","color":"c","color":"d"})", true},
        Follower{R"({"name":"a","url":"b","url":"c"})", true},
        Follower{
            R"({"name":{"url":[1,{"name":"a","url":"b","color":"c"}]},"url":"b","color":"c"})"},
        Follower{R"({"name":"a\n","url":"b","color":{"$int":"5"}})"},
        Follower{R"({"name":"a","url":"b","color":"c")"},
        Follower{R"({"name":"a","url":"b","color":})"},
        Follower{R"({"name":"a","url":"b","color":"c",})"},
        Follower{R"({"name":"a","url":"b","color":"c"])"},
        Follower{R"({"$obj":{"b":1,"a":2},"url":"b"})"},
        Follower{R"({"digest":"a","url":"b","color":"c"})"},
        Follower{R"({"abcdefghijklm":1,"b":2})"}, Follower{R"({"b":2,"abcdefghijklm":1})"},
        Follower{R"({})"}, Follower{R"({"name":"a"})"}));

// Keys of every size up to past the longest kept, against ones that differ
// in their first or last byte (so that they sort elsewhere) or in size by
// one: the comparison covers every byte of a key, its quote and colon.
TEST(DirectPath, FollowersWithKeysOfEverySize) {
  for (std::size_t size = 1; size <= 34; ++size) {
    std::string key(size, 'k'), near(size, 'k');
    key.back() = 'z';
    near.back() = 'm';
    const auto object = [&](const std::string& k) {
      return "{\"" + k + "\":1,\"" + near + "\":2,\"a\":3}";
    };
    const std::string r = object(key);
    std::string first = key, last = key;
    first.front() = '0';
    last.back() = 'b';
    for (const std::string& f :
         {r, object(first), object(last), object(key + "k"), object(key.substr(1))})
      expect_same_or_declined_fault("[" + sibling_run(r, f) + "]");
  }
}

// Keys kept in one read hold positions in its text: a later read, by the
// same scratch or by a new one in the memory an old one had, must not
// follow them. The two texts put keys of other orders at the same places.
TEST(DirectPath, KeysKeptInOneReadAreNotFollowedInTheNext) {
  const std::string z = R"({"kkkz":1,"kkkm":2,"a":3})", b = R"({"kkkz":1,"kkka":2,"m":3})";
  const std::string text_z = "[" + sibling_run(z, z) + "]", text_b = "[" + sibling_run(b, b) + "]";
  DirectText kept;
  for (int round = 0; round < 4; ++round) {
    for (const std::string* text : {&text_z, &text_b}) {
      DirectText fresh;
      for (DirectText* doc : {&kept, &fresh}) {
        ASSERT_TRUE(doc->read(*text, false));
        EXPECT_EQ(doc->take_text(), exact(*text, false));
      }
    }
  }
}

// Every prefix of an array of records ends somewhere in a key compared with
// the one before it, or in the value after it: the comparison and the
// reading read only within the text (keys of the sizes around the longest
// kept; run under the sanitizers too).
TEST(DirectPath, EveryPrefixOfRecordsIsDecidedAsTheExactPathDoes) {
  for (std::size_t size : {44, 45, 46}) {
    const std::string r = R"({"name":"a","url":"b",")" + std::string(size, 'k') + R"(":1})";
    const std::string text = "[" + r + "," + r + "," + r + "]";
    for (std::size_t cut = 0; cut <= text.size(); ++cut)
      expect_same_or_declined_fault(text.substr(0, cut));
  }
}

// Documents whose outcome the exact path must decide: faults of every kind,
// duplicate keys (later wins), markers, and nesting beyond the direct limit.
TEST(DirectPath, DeclinesWhatItDoesNotDecide) {
  const std::string deep_ok = std::string(129, '[') + std::string(129, ']');
  const std::string wrapped_deep = [] {
    std::string s;
    for (int k = 0; k < 100; ++k) s += R"({"$arr":[)";
    s += "1";
    for (int k = 0; k < 100; ++k) s += "]}";
    return s;
  }();
  const std::vector<std::string> texts = {"",
                                          "   ",
                                          "1.5",
                                          "-0",
                                          "01",
                                          "9007199254740992",
                                          "[1,]",
                                          "{\"a\":1,}",
                                          "[1 2]",
                                          "tru",
                                          "nul",
                                          "\"abc",
                                          "\"\\x\"",
                                          "\"\\ud800\"",
                                          "\"\\udc00\"",
                                          "\"a\tb\"",
                                          "1 2",
                                          "{1:2}",
                                          R"({"a":1,"a":2})",
                                          R"({"$nan":0})",
                                          R"({"$inf":0})",
                                          R"({"$float":0})",
                                          R"({"$int":"1e3"})",
                                          R"({"$int":5})",
                                          R"({"$str":1})",
                                          R"({"$arr":{}})",
                                          R"({"$obj":[]})",
                                          R"({"$bool":1})",
                                          R"({"$null":false})",
                                          R"({"\u0024int":"5"})",
                                          R"({"$obj":{"$int":"5"},"x":1})",
                                          deep_ok,
                                          wrapped_deep,
                                          R"({"digest":{"$nan":1}})"};
  for (const std::string& t : texts) {
    std::string out;
    EXPECT_FALSE(direct_canonical(t, false, out)) << t;
    EXPECT_FALSE(direct_canonical(t, true, out)) << t;
  }
  // A tagged root object is rare enough to leave to the exact path when the
  // digest must look inside it.
  std::string out;
  EXPECT_FALSE(direct_canonical(R"({"$obj":{"digest":1}})", true, out));
}

// A small generator of tagged documents in many spellings, some of them
// faulty, to hold the two paths against each other beyond the rows above.
class DocGen {
 public:
  explicit DocGen(unsigned seed) : rng_(seed) {}

  std::string doc() {
    std::string s;
    value(s, 0);
    return s;
  }

 private:
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  void ws(std::string& s) {
    static const char* kWs[] = {"", "", "", " ", "\n", "\t ", "\r\n"};
    s += kWs[pick(7)];
  }
  void str(std::string& s) {
    static const char* kParts[] = {"a",
                                   "b",
                                   "digest",
                                   "$int",
                                   "$obj",
                                   "\\n",
                                   "\\u00e9",
                                   "\\ud83d\\ude00",
                                   "é",
                                   "\\\"",
                                   "\\\\",
                                   "\\/",
                                   "x y",
                                   "$str",
                                   "\\u0000",
                                   "\\u001f",
                                   "\xF0\x9F\x98\x80",
                                   "\\uDC00",
                                   "\t"};
    s += '"';
    for (int k = pick(3); k > 0; --k) s += kParts[pick(19)];
    s += '"';
  }
  void number(std::string& s) {
    static const char* kNums[] = {"0",  "7",  "-3",  "9007199254740991", "-9007199254740991",
                                  "12", "-0", "1.5", "9007199254740992", "01",
                                  "1e2"};
    s += kNums[pick(pick(4) == 0 ? 11 : 7)];
  }
  void value(std::string& s, int depth) {
    const int kind = depth > 6 ? pick(5) : pick(9);
    switch (kind) {
      case 0:
        number(s);
        break;
      case 1:
        str(s);
        break;
      case 2:
        s += pick(2) ? "true" : "false";
        break;
      case 3:
        s += "null";
        break;
      case 4:
        tagged_scalar(s);
        break;
      case 5:
      case 6: {
        s += '[';
        for (int k = pick(4); k > 0; --k) {
          ws(s);
          value(s, depth + 1);
          ws(s);
          if (k > 1) s += ',';
        }
        s += ']';
        break;
      }
      default: {
        s += '{';
        const int members = pick(5);
        for (int k = members; k > 0; --k) {
          ws(s);
          str(s);
          ws(s);
          s += ':';
          ws(s);
          value(s, depth + 1);
          if (k > 1) s += ',';
        }
        s += '}';
        break;
      }
    }
  }
  void tagged_scalar(std::string& s) {
    static const char* kTagged[] = {R"({"$int":"00042"})",
                                    R"({"$int":"-0"})",
                                    R"({"$int":"99999999999999999999999"})",
                                    R"({"$str":"x"})",
                                    R"({"$bool":true})",
                                    R"({"$null":true})",
                                    R"({"$arr":[1,{"$int":"2"}]})",
                                    R"({"$obj":{"$int":"3"}})",
                                    R"({"$obj":{}})",
                                    R"({"$nan":1})",
                                    R"({"$int":"x"})",
                                    R"({"$null":false})"};
    s += kTagged[pick(pick(3) == 0 ? 12 : 9)];
  }

  std::mt19937 rng_;
};

TEST(DirectPath, AgreesWithExactPathOnGeneratedDocuments) {
  int answered = 0;
  constexpr int kDocs = 20000;
  for (int k = 0; k < kDocs; ++k) {
    DocGen gen(static_cast<unsigned>(k));
    if (check_agreement(gen.doc())) ++answered;
    if (::testing::Test::HasFailure()) break;
  }
  // Most generated documents are valid; the direct path must take most of
  // them, or it is declining where it should not.
  EXPECT_GT(answered, kDocs / 4);
}

// The corpus documents (path, text), none when the corpus is not there.
std::vector<std::pair<std::string, std::string>> corpus_documents() {
  std::vector<std::pair<std::string, std::string>> docs;
  const std::filesystem::path dir = QUORL_CORPUS_DIR;
  if (!std::filesystem::is_directory(dir)) return docs;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().extension() != ".json") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream buf;
    buf << in.rdbuf();
    docs.emplace_back(entry.path().string(), buf.str());
  }
  return docs;
}

// The text with `after_colon` after every colon and `after_comma` after
// every comma outside strings, and `before_colon` before every colon.
std::string respaced(const std::string& text, const char* before_colon, const char* after_colon,
                     const char* after_comma) {
  std::string out;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      out += c;
      if (c == '\\') {
        out += text[++i];
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    in_string = c == '"';
    if (c == ':') out += before_colon;
    out += c;
    if (c == ':') out += after_colon;
    if (c == ',') out += after_comma;
  }
  return out;
}

struct Spelling {
  const char* name;
  const char* before_colon;
  const char* after_colon;
  const char* after_comma;
};

// Each corpus document (when the corpus is there) and generated ones, as
// they are and re-spelt with whitespace: the direct path gives the exact
// path's text, the same for every spelling, and takes every spelling of
// the corpus.
class CorpusSpellings : public ::testing::TestWithParam<Spelling> {};

TEST_P(CorpusSpellings, DirectPathGivesTheSameTextForEverySpelling) {
  const Spelling& spelling = GetParam();
  std::vector<std::pair<std::string, std::string>> docs = corpus_documents();  // name, text
  const std::size_t corpus_files = docs.size();
  for (unsigned seed = 0; seed < 2000; ++seed) docs.emplace_back("generated", DocGen(seed).doc());
  for (std::size_t k = 0; k < docs.size(); ++k) {
    const auto& [name, original] = docs[k];
    const std::string text =
        respaced(original, spelling.before_colon, spelling.after_colon, spelling.after_comma);
    const bool answered = check_agreement(text);
    if (k < corpus_files) {
      EXPECT_TRUE(answered) << name << " should take the direct path";
    }
    std::string as_is, spelt;
    if (answered && direct_canonical(original, false, as_is)) {
      direct_canonical(text, false, spelt);
      EXPECT_TRUE(as_is == spelt) << name << " gives another text spelt " << spelling.name << ": "
                                  << original.substr(0, 200);
    }
    if (::testing::Test::HasFailure()) break;
  }
}

INSTANTIATE_TEST_SUITE_P(Whitespace, CorpusSpellings,
                         ::testing::Values(Spelling{"as_is", "", "", ""},
                                           Spelling{"indented", "", " ", "\n    "},
                                           Spelling{"spaced", " ", " ", " "},
                                           Spelling{"tabs", "\t", "\r\n", "\t"}),
                         [](const auto& info) { return std::string(info.param.name); });

// Callers keep one DirectText between calls: nothing of an earlier read, a
// larger or a failed one, may show in a later result.
// A text read from a heap block of exactly its size, so that a read past its
// end is an error under AddressSanitizer: compact and in order (the text is
// then emitted without being copied first), with a change inside, and with
// whitespace; every way of emitting gives the exact path's text.
void expect_every_emitter_exact(std::string_view source) {
  const auto block = std::make_unique<char[]>(source.size());
  std::memcpy(block.get(), source.data(), source.size());
  const std::string_view text(block.get(), source.size());
  const std::string expected = exact(text, false);
  DirectText doc;
  ASSERT_TRUE(doc.read(text, false)) << source;
  ASSERT_EQ(doc.text_size(), expected.size());
  std::string written(expected.size(), '\0');
  doc.write_text(written.data());
  EXPECT_EQ(written, expected);
  std::string padded(expected.size() + DirectText::kTextPadding, '\0');
  doc.write_text_padded(padded.data());
  EXPECT_EQ(padded.substr(0, expected.size()), expected);
  Sha256 fed, whole;
  doc.feed_text(fed);
  whole.feed(expected);
  EXPECT_EQ(to_hex(fed.finish()), to_hex(whole.finish()));
  EXPECT_EQ(doc.take_text(), expected);
}

class EmitFromExactBlock : public ::testing::TestWithParam<const char*> {};

TEST_P(EmitFromExactBlock, EveryEmitterGivesTheExactText) {
  expect_every_emitter_exact(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Texts, EmitFromExactBlock,
                         ::testing::Values("7", "[1,\"ab\"]", R"({"a":[1,{"b":2}],"c":"x"})",
                                           R"({"a":[1,{"c":2,"b":3}],"c":"x"})",
                                           R"({"a":{"$int":"12"}})", R"( {"a": 1} )",
                                           R"({"a":"\n"})",
                                           R"([{"b":1,"a":2},{"d":[3],"c":{"f":1,"e":2}}])",
                                           R"({"b":{"d":1,"c":2},"a":0})"));

// While nothing in a text of kUncopiedTextBytes or more has changed, objects out of
// key order are recorded (the text is then emitted uncopied) until the
// records outgrow the text read or half of the whole; a change after them
// (an escape, whitespace, a tag) makes the text be copied with those
// records in it. Records large and small next to their text, few and many,
// with each kind of change after them, at the start or none, ahead of a
// long string that makes the text large; and records that outgrow the text
// read (past kUncopiedRecordBytes of them) with the string keeping them
// under half.
TEST(DirectPath, ObjectsOutOfOrderBeforeAndAfterTheTextIsCopied) {
  const char* kRecords[] = {
      R"({"b":1,"a":2})", R"({"b":"a longer value, which its record is small next to","a":[1,2]})",
      R"({"c":{"e":1,"d":2},"b":[{"y":0,"x":1}],"a":3})"};
  const char* kChanges[] = {"", R"("line\nbreak")", R"( {"b" : 1 , "a":2} )", R"({"$int":"-12"})",
                            R"({"z":[{"b":"\u00e9","a":1}],"a":{"$null":true}})"};
  const auto text_of = [&](const char* first, const char* record, int before, const char* change,
                           int after, std::size_t pad) {
    std::string text = std::string("[") + first;
    const auto add = [&](const std::string& element) {
      if (!element.empty()) text += (text.size() > 1 ? "," : "") + element;
    };
    for (int k = 0; k < before; ++k) add(record);
    add(change);
    for (int k = 0; k < after; ++k) add(record);
    if (pad != 0) add("\"" + std::string(pad, 'x') + "\"");
    return text + "]";
  };
  // A pad that alone makes the text large enough to be kept uncopied.
  constexpr std::size_t kPad = direct_detail::kUncopiedTextBytes;
  for (const char* record : kRecords)
    for (const char* change : kChanges)
      for (int before : {0, 1, 60, 300})
        for (int after : {0, 200})
          for (bool change_first : {false, true}) {
            const std::string text = change_first
                                         ? text_of(change, record, before, "", after, kPad)
                                         : text_of("", record, before, change, after, kPad);
            ASSERT_TRUE(check_agreement(text)) << text.substr(0, 200);
            if (before == 60 && after == 200) expect_every_emitter_exact(text);
          }
  for (const char* change : kChanges) {
    const std::string text = text_of("", kRecords[0], 2000, "", 0, 300 << 10);
    ASSERT_TRUE(
        check_agreement(text.substr(0, text.size() - 1) + (*change ? "," : "") + change + "]"));
  }
}

TEST(DirectPath, ReusedScratchGivesWhatAFreshOneGives) {
  std::vector<std::string> texts;
  for (int k = 0; k < 3000; ++k) texts.push_back(DocGen(static_cast<unsigned>(k)).doc());
  for (auto& [path, text] : corpus_documents()) {
    // Large ones next to small ones, so that buffers shrink in use too.
    texts.insert(texts.begin() + static_cast<std::ptrdiff_t>(texts.size() / 2), std::move(text));
  }
  DirectText scratch;
  for (std::size_t k = 0; k < texts.size(); ++k) {
    const std::string& text = texts[k];
    if (k == texts.size() / 3) {
      scratch.release();
      EXPECT_EQ(scratch.held_bytes(), 0u);
    }
    const Result<std::string> fresh = py_canonical_bytes_from_json(text);
    const Result<CanonicalText> reused = canonical_text_from_json(text, scratch);
    ASSERT_EQ(reused.ok(), fresh.ok()) << text;
    if (fresh.ok()) {
      std::string got(reused.value().size(), '\0');
      reused.value().write_to(got.data());
      EXPECT_EQ(got, fresh.value()) << text;
    } else {
      EXPECT_EQ(reused.error().message, fresh.error().message);
    }
    const Result<std::string> digest_fresh = py_digest_from_json(text, "run");
    const Result<std::string> digest_reused = py_digest_from_json(text, "run", scratch);
    ASSERT_EQ(digest_reused.ok(), digest_fresh.ok()) << text;
    EXPECT_EQ(digest_reused.ok() ? digest_reused.value() : digest_reused.error().message,
              digest_fresh.ok() ? digest_fresh.value() : digest_fresh.error().message);
    if (::testing::Test::HasFailure()) break;
  }
  EXPECT_GT(scratch.held_bytes(), 0u);
}

// Objects of a few shapes over and over, as records come, through one
// scratch that remembers the key order of shapes it has sorted (across
// reads too): short keys (up to the eight bytes a shape is known by) and
// longer ones, shapes past the sixteen members that are remembered,
// "digest" at the root, duplicates, and shapes that share a memo slot.
// Each record alone, and runs of them in one array, against the exact path.
TEST(DirectPath, RepeatedShapesGiveWhatTheExactPathGives) {
  static const char* kKeys[] = {
      "a",  "b",  "id", "x",  "\xE5\x90\x8D", "digest", "abcdefgh", "abcdefgi", "abcdefghi", "$int",
      "k1", "k2", "k3", "k4", "k5",           "k6",     "k7",       "k8",       "k9",        "zz"};
  std::mt19937 rng(1207);
  const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  std::vector<std::vector<std::string>> shapes;
  for (int k = 0; k < 24; ++k) {
    std::vector<std::string> keys(std::begin(kKeys), std::end(kKeys));
    std::shuffle(keys.begin(), keys.end(), rng);
    keys.resize(2 + pick(17));                                  // 2 to 18 members
    if (pick(8) == 0) keys.push_back(keys[pick(keys.size())]);  // a duplicate
    shapes.push_back(keys);
  }
  const std::function<std::string(int)> record = [&](int depth) {
    const std::vector<std::string>& keys = shapes[pick(depth == 0 ? shapes.size() : 4)];
    std::string out = "{";
    for (std::size_t m = 0; m < keys.size(); ++m) {
      if (m != 0) out += ",";
      out += "\"" + keys[m] + "\":";
      out += depth < 2 && pick(4) == 0 ? record(depth + 1) : std::to_string(pick(1000));
    }
    return out + "}";
  };
  DirectText scratch;
  const auto agree = [&](const std::string& text) {
    for (bool skip : {false, true}) {
      const Result<CanonicalText> got = canonical_text_from_json(text, scratch, skip);
      std::string shown =
          got.ok() ? std::string(got.value().size(), '\0') : "ERROR: " + got.error().message;
      if (got.ok()) got.value().write_to(shown.data());
      EXPECT_EQ(shown, exact(text, skip)) << text;
    }
  };
  std::string run = "[";
  for (int k = 0; k < 3000 && !::testing::Test::HasFailure(); ++k) {
    const std::string one = record(0);
    agree(one);
    run += (run.size() > 1 ? "," : "") + one;
    if (k % 50 == 49) {
      agree(run + "]");
      run = "[";
    }
  }
}

// More shapes of long keys than the book holds, taking turns: slots are
// taken over again and again, by larger shapes too, so that the book's
// pages are spent and it starts afresh, several times a read. A shape learnt
// into a slot must never be read back for the one it replaced. Many share
// their first key and size (one set) and differ only in the order of the
// rest.
TEST(DirectPath, ShapesThatOutnumberTheBookStillComeOutInKeyOrder) {
  std::mt19937 rng(2026);
  std::vector<std::vector<std::string>> shapes;
  for (int k = 0; k < 150; ++k) {
    std::vector<std::string> keys = profile_keys(k % 3 == 0 ? 40 + k % 25 : 5 + k % 7);
    if (k % 3 == 0)  // nearly the largest shape the book learns: keys of 22 bytes or so
      for (std::string& key : keys) key.insert(0, "long_");
    std::shuffle(keys.begin() + 1, keys.end(), rng);
    shapes.push_back(keys);
  }
  DirectText scratch;
  for (int round = 0; round < 3; ++round) {
    std::string run = "[";
    for (int k = 0; k < 600; ++k) {
      const std::string one = object_of(shapes[(k * 7 + round) % shapes.size()]);
      run += (k != 0 ? "," : "") + one;
      if (k % 97 == 0) {
        ASSERT_TRUE(scratch.read(one, false)) << one;
        EXPECT_EQ(scratch.take_text(), exact(one, false)) << one;
      }
    }
    run += "]";
    ASSERT_TRUE(scratch.read(run, false));
    EXPECT_EQ(scratch.take_text(), exact(run, false));
  }
}

// Every failure text a document can earn: the fixed messages, or the reader's
// rendered error behind "invalid JSON: ".
bool is_known_failure(const std::string& m) {
  static const std::string_view kFixed[] = {
      qtest::kDepthMsg,      qtest::kFloatMsg,       qtest::kBareIntMsg,    qtest::kNaNMsg,
      qtest::kInfinityMsg,   qtest::kIntPayloadMsg,  qtest::kStrPayloadMsg, qtest::kObjPayloadMsg,
      qtest::kArrPayloadMsg, qtest::kBoolPayloadMsg, qtest::kNullPayloadMsg};
  for (std::string_view f : kFixed) {
    if (m == f) return true;
  }
  static const std::string_view kReader[] = {json::msg::kEofValue,
                                             json::msg::kEofList,
                                             json::msg::kEofObject,
                                             json::msg::kEofString,
                                             json::msg::kExpectedColon,
                                             json::msg::kExpectedCommaOrBracket,
                                             json::msg::kExpectedCommaOrBrace,
                                             json::msg::kExpectedIdent,
                                             json::msg::kExpectedValue,
                                             json::msg::kInvalidEscape,
                                             json::msg::kInvalidNumber,
                                             json::msg::kNumberOutOfRange,
                                             json::msg::kControlCharacter,
                                             json::msg::kKeyMustBeString,
                                             json::msg::kLoneLeadingSurrogate,
                                             json::msg::kTrailingComma,
                                             json::msg::kTrailingCharacters,
                                             json::msg::kUnexpectedEndOfHexEscape};
  const std::string_view prefix = "invalid JSON: ";
  if (m.compare(0, prefix.size(), prefix) != 0) return false;
  const std::string_view rest = std::string_view(m).substr(prefix.size());
  for (std::string_view r : kReader) {
    if (rest.substr(0, r.size()) == r && rest.substr(r.size()).starts_with(" at line "))
      return true;
  }
  return false;
}

// Arbitrary bytes, invalid UTF-8 included, through both module paths: a
// result or a known failure, never a crash (the sanitizer build watches the
// reads), and the digest agreeing with the canonical bytes on the outcome.
TEST(DirectPath, ArbitraryBytesGiveAResultOrAKnownFailure) {
  static const char kAlphabet[] = "{}[]\",:-0123456789.eE+ tfnrue\\u$intobjarrd\x80\xff\xc3\t\n";
  std::mt19937 rng(20261207);
  for (int k = 0; k < 30000; ++k) {
    std::string text;
    const int len = std::uniform_int_distribution<int>(0, 40)(rng);
    for (int c = 0; c < len; ++c) {
      text +=
          std::uniform_int_distribution<int>(0, 9)(rng) == 0
              ? static_cast<char>(std::uniform_int_distribution<int>(0, 255)(rng))
              : kAlphabet[std::uniform_int_distribution<std::size_t>(0, sizeof kAlphabet - 2)(rng)];
    }
    // An exact-size copy, so that a read past the end is caught.
    const std::unique_ptr<char[]> exact_buf(new char[text.size() + 1]);
    std::memcpy(exact_buf.get(), text.data(), text.size());
    const std::string_view view(exact_buf.get(), text.size());
    Result<std::string> bytes = py_canonical_bytes_from_json(view);
    Result<std::string> digest = py_digest_from_json(view, "run");
    if (!bytes.ok()) {
      ASSERT_TRUE(is_known_failure(bytes.error().message)) << bytes.error().message;
    }
    if (!digest.ok()) {
      ASSERT_TRUE(is_known_failure(digest.error().message)) << digest.error().message;
      // The digest leaves content out, never adds any: what it refuses,
      // the canonical bytes refuse too.
      EXPECT_FALSE(bytes.ok()) << qtest::quote_bytes(text);
    }
  }
}

}  // namespace
}  // namespace quorl
