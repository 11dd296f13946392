// Digest profiles: SHA-256 over "spec-quorl:v2:" + profile + LF followed by
// the canonical text, with the root object's own "digest" members left out.
//
// The hex constants below were computed outside this code base with
// Python's hashlib, e.g. for the certificate example:
//   hashlib.sha256(b"spec-quorl:v2:certificate\n"
//                  + b'{"a":[true,null],"b":2}').hexdigest()
// Each constant's comment names the profile and the canonical bytes hashed.
#include "core/digest.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/canonical_text.h"
#include "core/exact/encoder.h"
#include "core/exact/input_gate.h"
#include "core/hash/sha256.h"
#include "test_support.h"

namespace {

using quorl::py_canonical_bytes_from_json;
using quorl::py_digest_from_json;
using namespace qtest;

const char* const kProfiles[] = {"run", "certificate", "artifact-byte", "semantic-content"};

bool is_lower_hex64(const std::string& s) {
  if (s.size() != 64) return false;
  for (char c : s) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

Outcome digest(std::string_view text, std::string_view profile) {
  const auto r = py_digest_from_json(text, profile);
  if (r.ok()) {
    EXPECT_TRUE(is_lower_hex64(r.value())) << r.value();
  }
  return outcome(r);
}

// The exact path's text with root digest members left out, hashed after the
// domain line: what every digest must equal.
Outcome exact_digest(std::string_view text, std::string_view profile) {
  auto canonical = quorl::exact_canonical_text(text, true);
  if (!canonical.ok()) return Err(canonical.error().message);
  quorl::Sha256 hash;
  hash.feed("spec-quorl:v2:");
  hash.feed(profile);
  hash.feed("\n");
  hash.feed(canonical.value());
  return Ok(quorl::to_hex(hash.finish()));
}

// ------------------------------------------------------- fixed documents

struct DigestRow {
  std::string label;
  std::string text;
  std::string profile;
  Outcome expected;
  friend void PrintTo(const DigestRow& r, std::ostream* os) { *os << r.label; }
};

class Digest : public ::testing::TestWithParam<DigestRow> {};

TEST_P(Digest, Hex) {
  const DigestRow& row = GetParam();
  EXPECT_EQ(digest(row.text, row.profile), row.expected);
}

auto row_name = [](const auto& info) { return param_name(info.param.label); };

// certificate, {"a":[true,null],"b":2}
const std::string kCertificateExample =
    "77d49297aa628bb395539031ac73bf6f1b16eba181bffff3ca678f2b48396305";
// run, {}
const std::string kRunEmptyObject =
    "14aebb85e8123fa2f06adb9f28b8f7bfa68ae8f0edda219fd4d60b0ce1df4369";
// run, {"a":1}
const std::string kRunA1 = "767f21315b5b47db213844e61ffa04146fb4bdec9488a52cfa6140ae4c0adaeb";

INSTANTIATE_TEST_SUITE_P(
    Fixed, Digest,
    ::testing::Values(
        // The root "digest" member is left out, whatever it holds.
        DigestRow{"certificate_example", "{\"b\":2,\"digest\":\"anything\",\"a\":[true,null]}",
                  "certificate", Ok(kCertificateExample)},
        DigestRow{"certificate_example_digest_first",
                  "{\"digest\":[1,{\"x\":null}],\"a\":[true,null],\"b\":2}", "certificate",
                  Ok(kCertificateExample)},
        DigestRow{"certificate_example_without_digest", "{\"a\":[true,null],\"b\":2}",
                  "certificate", Ok(kCertificateExample)},
        DigestRow{"certificate_example_tagged_root",
                  "{\"$obj\":{\"b\":{\"$int\":\"2\"},\"digest\":0,\"a\":{\"$arr\":[true,"
                  "{\"$null\":true}]}}}",
                  "certificate", Ok(kCertificateExample)},
        DigestRow{"certificate_example_escaped_digest_key",
                  "{\"b\":2,\"dig\\u0065st\":1,\"a\":[true,null]}", "certificate",
                  Ok(kCertificateExample)},
        DigestRow{"only_digest_hashes_empty_object", "{\"digest\":\"x\"}", "run",
                  Ok(kRunEmptyObject)},
        DigestRow{"empty_object", "{}", "run", Ok(kRunEmptyObject)},
        DigestRow{"digest_and_a", "{\"digest\":5,\"a\":1}", "run", Ok(kRunA1)},
        // A marker that sits only under the root "digest" is never encoded.
        DigestRow{"nan_under_digest", "{\"digest\":{\"$nan\":0},\"a\":1}", "run", Ok(kRunA1)},
        DigestRow{"markers_deep_under_digest",
                  "{\"a\":1,\"digest\":[{\"$inf\":1},{\"$float\":2},{\"k\":{\"$nan\":3}}]}", "run",
                  Ok(kRunA1)},
        // run, {"a":{"digest":1}}
        DigestRow{"nested_digest_hashed", "{\"a\":{\"digest\":1}}", "run",
                  Ok("c4066f0fea97f0c4254b74879f7e4f60928c83e13cf0d13a0c6280f1c0cca87e")},
        DigestRow{"nested_digest_hashed_root_digest_dropped", "{\"digest\":2,\"a\":{\"digest\":1}}",
                  "run", Ok("c4066f0fea97f0c4254b74879f7e4f60928c83e13cf0d13a0c6280f1c0cca87e")},
        // run, [{"digest":1}]
        DigestRow{"digest_in_object_in_root_array", "[{\"digest\":1}]", "run",
                  Ok("f40981e5d3a86e292f13d0db09e2e3e2dfd432f56c4c3584c4f7e7d82d3f0da1")},
        // run, {"Digest":1}
        DigestRow{"capital_Digest_hashed", "{\"Digest\":1,\"digest\":2}", "run",
                  Ok("a58e22d260e380e2c821c18ddb72988de84bc21d2267df9802a663dc2025117e")},
        // run, {"digest ":1}
        DigestRow{"digest_space_hashed", "{\"digest \":1}", "run",
                  Ok("7d1931ad18679c63c317a96b18de34287c919fada4b4e9790408bcec54324b82")},
        // semantic-content, "hello"
        DigestRow{"string_root", "\"hello\"", "semantic-content",
                  Ok("b66d97ac756779ac4fe42b09c918a80d6b422d2bb1c18ebb55bbec685ef05427")},
        // artifact-byte, null
        DigestRow{"null_root", "null", "artifact-byte",
                  Ok("b9894be83b74d586f67117ab49fad303ee52fd77595bcbd0fa2fc13ed772738f")},
        // certificate, {"k":"xxx...x"} with 100 x: 26 + 108 bytes, three blocks
        DigestRow{"long_text", cat("{\"k\":\"", std::string(100, 'x'), "\"}"), "certificate",
                  Ok("18e62e848232a422e3b951e6d76398dc45834bbf6eb7d7195562a7dbfb1065c8")},
        // run, 123456789012345678901234567890
        DigestRow{"big_int_root", "{\"$int\":\"0123456789012345678901234567890\"}", "run",
                  Ok("c38c31e9bac232747dfcce999d4dd82771d0dd8e6c376a5250fb2822bedf19c4")},
        // run, {"z":[],"é":"a\u000ab"}
        DigestRow{"escapes_and_order", "{ \"\\u00e9\" : \"a\\nb\", \"z\" : [ ] }", "run",
                  Ok("649a64e1d4fea3175d10c5326ff6396043d221bceb57f1903bc9a72159419ad0")}),
    row_name);

// One document, [1,"x",{"a":true,"b":null}] once canonical, under each
// profile: four different digests, each fixed.
INSTANTIATE_TEST_SUITE_P(
    Profiles, Digest,
    ::testing::Values(
        DigestRow{"run", "[1, \"x\", {\"b\": null, \"a\": true}]", "run",
                  Ok("a43e42daeb9ea39124a35fe725946a63e80b202932f13236f193e092402345db")},
        DigestRow{"certificate", "[1, \"x\", {\"b\": null, \"a\": true}]", "certificate",
                  Ok("149ba1bc0f4c48ce2765827f8d753275a5ef57eef7fd626f1318acc3acc6b4e0")},
        DigestRow{"artifact_byte", "[1, \"x\", {\"b\": null, \"a\": true}]", "artifact-byte",
                  Ok("f050f781a231e95f13fc46a5f7582a11fd55b14a07bc538d566a22234d62c35a")},
        DigestRow{"semantic_content", "[1, \"x\", {\"b\": null, \"a\": true}]", "semantic-content",
                  Ok("8a163f759202bff222ab8841e5c1a59c2a5a9dda311fa00c2a8952658319c908")}),
    row_name);

// ------------------------------------------------------- failures

std::string unknown(std::string_view profile) {
  return cat("unknown digest profile: ", profile);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, Digest,
    ::testing::Values(
        DigestRow{"profile_Run", "{}", "Run", Err(unknown("Run"))},
        DigestRow{"profile_RUN", "{}", "RUN", Err(unknown("RUN"))},
        DigestRow{"profile_run_space", "{}", "run ", Err(unknown("run "))},
        DigestRow{"profile_run_line_feed", "{}", "run\n", Err(unknown("run\n"))},
        DigestRow{"profile_space_run", "{}", " run", Err(unknown(" run"))},
        DigestRow{"profile_artifact_bytes", "{}", "artifact-bytes", Err(unknown("artifact-bytes"))},
        DigestRow{"profile_empty", "{}", "", Err("unknown digest profile: ")},
        DigestRow{"profile_nul_suffix", "{}", std::string("run\0", 4),
                  Err(unknown(std::string("run\0", 4)))},
        DigestRow{"profile_quoted", "{}", "\"run\"", Err("unknown digest profile: \"run\"")},
        // The document is judged first.
        DigestRow{"document_fault_wins_float", "1.5", "bogus", Err(kFloatMsg)},
        // [
        //  ^ column 1 (end of text)
        DigestRow{"document_fault_wins_reader", "[", "",
                  Err("invalid JSON: EOF while parsing a list at line 1 column 1")},
        DigestRow{"document_fault_wins_decoder", "{\"$int\":\"x\"}", "nope", Err(kIntPayloadMsg)},
        DigestRow{"document_fault_under_digest_wins", "{\"digest\":{\"$int\":\"x\"}}", "nope",
                  Err(kIntPayloadMsg)},
        // The profile is judged before the encoder.
        DigestRow{"float_unknown_profile", "{\"a\":{\"$float\":0}}", "Run", Err(unknown("Run"))},
        DigestRow{"float_known_profile", "{\"a\":{\"$float\":0}}", "run", Err(kFloatMsg)},
        DigestRow{"nan_root_known_profile", "{\"$nan\":0}", "certificate", Err(kNaNMsg)},
        DigestRow{"infinity_in_array_root", "[{\"$inf\":0}]", "run", Err(kInfinityMsg)},
        DigestRow{"marker_under_nested_digest", "{\"a\":{\"digest\":{\"$nan\":0}}}", "run",
                  Err(kNaNMsg)},
        DigestRow{"marker_under_Digest", "{\"Digest\":{\"$nan\":0}}", "run", Err(kNaNMsg)},
        DigestRow{"depth_under_digest",
                  cat("{\"digest\":", repeat("[", 128), repeat("]", 128), "}"), "run",
                  Err(kDepthMsg)}),
    row_name);

// ------------------------------------------------------- properties

// The root "digest" member never changes the digest, and canonical bytes
// still refuse what sits under it.
TEST(DigestRootMember, LeftOutWhateverItHolds) {
  const char* const under_digest[] = {
      "1", "\"x\"", "null", "[1,2]", "{\"a\":1}", "{\"$nan\":0}", "{\"$inf\":1}", "{\"$float\":2}"};
  for (const char* profile : kProfiles) {
    const Outcome without = digest("{\"a\":1,\"b\":[true]}", profile);
    ASSERT_TRUE(without.ok);
    for (const char* v : under_digest) {
      const std::string text = std::string("{\"a\":1,\"digest\":") + v + ",\"b\":[true]}";
      EXPECT_EQ(digest(text, profile), without) << profile << " " << text;
    }
  }
  EXPECT_EQ(outcome(py_canonical_bytes_from_json("{\"digest\":{\"$nan\":0},\"a\":1}")),
            Err(kNaNMsg));
}

TEST(DigestProfiles, FourProfilesFourDigests) {
  const std::string docs[] = {"{}", "[]", "0", "{\"digest\":1}", "\"\"", "{\"a\":[1,{\"b\":2}]}"};
  for (const std::string& doc : docs) {
    std::set<std::string> seen;
    for (const char* profile : kProfiles) {
      const Outcome d = digest(doc, profile);
      ASSERT_TRUE(d.ok) << doc << " " << profile;
      seen.insert(d.text);
    }
    EXPECT_EQ(seen.size(), 4u) << doc;
  }
}

// For a root that is not an object, and for a root object without a
// "digest" member, the digest is SHA-256 of the domain line followed by the
// canonical bytes. The bytes come from py_canonical_bytes_from_json and the
// hash from the project's Sha256 (checked against hashlib in its own suite).
TEST(DigestCrossCheck, DomainLineThenCanonicalBytes) {
  const std::string docs[] = {"[1,2]",
                              "\"s\"",
                              "7",
                              "null",
                              "true",
                              "[{\"digest\":1}]",
                              "{\"$arr\":[{\"digest\":2}]}",
                              "{\"$int\":\"-99999999999999999999999\"}",
                              "[\"\\u0000\\ud83d\\ude00\"]",
                              "{\"b\":[{\"z\":1,\"y\":2}],\"a\":\"\xC3\xA9\"}",
                              "{\"Digest\":0,\"digest \":1}",
                              cat("\"", std::string(200, 'q'), "\""),
                              repeat("[", 128) + repeat("]", 128)};
  for (const std::string& doc : docs) {
    const auto bytes = py_canonical_bytes_from_json(doc);
    ASSERT_TRUE(bytes.ok()) << doc;
    for (const char* profile : kProfiles) {
      quorl::Sha256 hash;
      hash.feed("spec-quorl:v2:");
      hash.feed(profile);
      hash.feed("\n");
      hash.feed(bytes.value());
      EXPECT_EQ(digest(doc, profile), Ok(quorl::to_hex(hash.finish()))) << profile << " " << doc;
    }
  }
}

// py_digest_from_json agrees with the gate followed by encode_object (root
// object, digest members skipped) or encode_value (any other root), fed to
// SHA-256 after the domain line, whatever road it takes inside.
TEST(DigestCrossCheck, AgreesWithGateThenEncoder) {
  const std::vector<std::string> docs = {
      "{\"digest\":1,\"b\":2,\"a\":3}",
      "{\"b\":{\"digest\":1},\"digest\":{\"digest\":2}}",
      "{\"digest\":1,\"digest\":2}",
      "{\"a\":1,\"a\":2,\"digest\":0}",
      "{\"$obj\":{\"digest\":1,\"z\":0}}",
      "{\"$obj\":{\"$obj\":{\"digest\":1}}}",
      "{\"$obj\":{\"digest\":{\"$nan\":1}}}",
      "{\"dig\\u0065st\":{\"$inf\":0},\"x\":[]}",
      "{\"$int\":\"5\"}",
      "{\"$null\":true}",
      "{\"$str\":\"digest\"}",
      "{\"digest\":[]}",
      "{\"digest\":{\"$obj\":{\"$int\":\"1\"}},\"$obj\":{}}",
      "{\"z\":[{\"digest\":3}],\"digest\":0}",
      cat("[", repeat("{\"digest\":", 100), "0", repeat("}", 100), "]"),
      repeat("{\"digest\":", 128) + "0" + repeat("}", 128),
      repeat("{\"digest\":", 129) + "0" + repeat("}", 129),
  };
  for (const std::string& doc : docs) {
    for (const char* profile : kProfiles) {
      EXPECT_EQ(digest(doc, profile), exact_digest(doc, profile))
          << profile << " " << doc.substr(0, 80);
    }
  }
}

// Root arrays large enough that the digest hands their text to the hash in
// pieces while reading: the result must not depend on where the pieces end,
// on what a piece's objects need (reordering, records, tags, growth), or on
// a fault or a decline met after pieces have gone (the hash then starts
// again from the domain line on the exact path). One scratch serves every
// row, in both orders, so that a small streamed buffer meets the documents
// read whole after it.
struct StreamRow {
  std::string label;
  std::string text;
};

std::string root_array(std::size_t count, const std::function<std::string(std::size_t)>& item) {
  std::string out = "[";
  for (std::size_t i = 0; i < count; ++i) {
    if (i != 0) out += ",";
    out += item(i);
  }
  return out + "]";
}

std::vector<StreamRow> stream_rows() {
  const auto n = [](std::size_t i) { return std::to_string(i); };
  // Keys in descending order: the object is recorded and sorted.
  std::string big_object = "{" + root_array(12000, [&](std::size_t i) {
                                   return "\"k" + n(99999 - i) + "\":[" + n(i) + "]";
                                 }).substr(1);
  big_object.back() = '}';
  return {
      {"sorted records",
       root_array(20000, [&](std::size_t i) { return "{\"a\":" + n(i) + ",\"b\":\"x\"}"; })},
      {"records reordered in place",
       root_array(20000,
                  [&](std::size_t i) { return "{\"b\":" + n(i) + ",\"a\":{\"d\":1,\"c\":2}}"; })},
      {"records with recorded objects", root_array(60,
                                                   [&](std::size_t i) {
                                                     return "{\"z\":" + n(i) + ",\"y\":{\"q\":\"" +
                                                            std::string(5000, 'w') + "\",\"p\":0}}";
                                                   })},
      {"tags",
       root_array(8000,
                  [&](std::size_t i) {
                    return "{\"$int\":\"-12345678901234567890" + n(i) +
                           "\"},{\"$obj\":{\"digest\":" + n(i) +
                           ",\"$int\":\"7\"}},{\"$arr\":[{\"$null\":true}]},{\"$str\":\"s\"}";
                  })},
      {"escapes that grow", root_array(20000, [](std::size_t) { return "\"\\n\\t\\u0001\\/\""; })},
      {"one element larger than the buffer",
       root_array(3, [&](std::size_t i) { return i == 1 ? big_object : "[" + n(i) + "]"; })},
      {"a long string element",
       "[1," + cat("\"", std::string(300000, 'e'), "\"") + ",{\"b\":1,\"a\":2}]"},
      {"nested arrays and digest members",
       "  \n " +
           root_array(20000, [&](std::size_t i) { return "[{\"digest\":" + n(i) + "},[]]"; })},
      {"duplicate keys at the end (a decline after pieces went)",
       root_array(20001,
                  [&](std::size_t i) {
                    return i == 20000 ? std::string("{\"a\":1,\"a\":2}") : "{\"a\":" + n(i) + "}";
                  })},
      {"a float at the end",
       root_array(20001, [&](std::size_t i) { return i == 20000 ? std::string("1.5") : n(i); })},
      {"a wrong tag payload at the end", root_array(20001,
                                                    [&](std::size_t i) {
                                                      return i == 20000
                                                                 ? std::string("{\"$int\":5}")
                                                                 : "{\"$int\":\"" + n(i) + "\"}";
                                                    })},
      {"unclosed", root_array(20000, [&](std::size_t i) { return n(i); }).substr(0, 100001)},
      {"root object read whole",
       "{\"x\":" +
           root_array(20000, [&](std::size_t i) { return "{\"b\":" + n(i) + ",\"a\":0}"; }) +
           ",\"digest\":1,\"a\":2}"},
  };
}

TEST(DigestStreamed, AgreesWithTheExactPathWhereverThePiecesEnd) {
  const std::vector<StreamRow> rows = stream_rows();
  quorl::DirectText scratch;
  // The third pass hashes on a second thread, whatever the size.
  for (int pass = 0; pass < 3; ++pass) {
    for (std::size_t k = 0; k < rows.size(); ++k) {
      const StreamRow& row = rows[pass == 1 ? rows.size() - 1 - k : k];
      ASSERT_GT(row.text.size(), std::size_t{100000}) << row.label;
      const std::size_t thread_from = pass == 2 ? 0 : quorl::kHashThreadFromBytes;
      EXPECT_EQ(outcome(pipelined_digest_from_json(row.text, "run", scratch, thread_from)),
                exact_digest(row.text, "run"))
          << row.label << " pass " << pass;
    }
  }
}

}  // namespace
