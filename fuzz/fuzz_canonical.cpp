// libFuzzer target over the whole path: input gate, decoder, encoder, the
// one-pass direct path, and the digest under every profile.
//
// Properties checked for every input (any break aborts with its name):
//  1. Direct path = exact path. Whenever direct_canonical(text, skip) says
//     yes, decode_input_json and the encoder succeed with the same bytes
//     (skip: a root Object through encode_object(entries, 1, true)); when
//     the exact path fails, the direct path says no.
//  2. py_canonical_bytes_from_json equals the exact path: same bytes, or
//     the same message.
//  3. Messages are fixed texts: one of the core's messages, "invalid JSON: "
//     with one of the reader's eighteen and a line and column that lie
//     inside the text, or "unknown digest profile: " with the profile.
//  4. The raw-text rules, recomputed here from their description, decide
//     first: a depth of 258 or more gives the depth message, else the first
//     bad number token gives its message; a text that passes both never gets
//     the float or the bare-integer message from the gate and decoder, nor
//     the depth message unless it nests 129 brackets.
//  5. py_digest_from_json under the four profiles and two unknown ones: the
//     document's message first, then the profile message, then the
//     encoder's; on success 64 lowercase hex digits equal to SHA-256 of the
//     domain line and the skip-digest canonical text.
//  6. Meaning-preserving rewrites of the decoded value (tags where needed;
//     then random "$str"/"$arr"/"$obj"/"$bool"/"$null"/"$int" wrappers,
//     leading zeros, \u escapes and surrogate pairs, whitespace, shuffled
//     keys, replaced duplicate keys, root "digest" members) give the same
//     bytes, the same failure, and the same digest.
//  7. The canonical text is written as this file's own encoder would write
//     it, reads back through the reader to the same data, is valid UTF-8
//     when the input was, and canonicalizes to itself whenever it needs no
//     tag (no integer beyond the bare bound, no one-member object with a
//     tag key).
//  8. Floats as strings: the front door equals the exact path (refusals
//     at the same offset) and the digest covers its text; a text with no
//     float token reads as with floats refused; the text with its float
//     tokens quoted means the same wherever either reads.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/canonical_text.h"
#include "core/digest.h"
#include "core/direct/direct_path.h"
#include "core/exact/decoder.h"
#include "core/exact/encoder.h"
#include "core/exact/input_gate.h"
#include "core/exact/quorl_value.h"
#include "core/hash/sha256.h"
#include "core/rules/float_text.h"
#include "core/rules/float_tokens.h"
#include "fuzz_support.h"
#include "json/reader/json_reader.h"

namespace {

using fuzz_support::broken;
using fuzz_support::valid_utf8;

using quorl::QuorlValue;
using Outcome = quorl::Result<std::string>;

// The fixed texts, typed out here rather than taken from the library.
constexpr std::string_view kDepth = "nesting depth exceeds the maximum of 128";
constexpr std::string_view kFloat =
    "floats are forbidden in canonical content; pre-represent as int or string";
constexpr std::string_view kNaN = "NaN is forbidden in canonical content";
constexpr std::string_view kInfinity = "Infinity is forbidden in canonical content";
constexpr std::string_view kBareInt = "bare JSON integer beyond +/-(2^53 - 1): use a $int tag";
constexpr std::string_view kIntPayload =
    "invalid $int payload: expected optional '-' then ASCII digits";
constexpr std::string_view kStrPayload = "invalid $str payload: expected a JSON string";
constexpr std::string_view kObjPayload = "invalid $obj payload: expected a JSON object";
constexpr std::string_view kArrPayload = "invalid $arr payload: expected a JSON array";
constexpr std::string_view kBoolPayload = "invalid $bool payload: expected a JSON boolean";
constexpr std::string_view kNullPayload = "invalid $null payload: expected true";
constexpr std::string_view kInvalidJson = "invalid JSON: ";
constexpr std::string_view kUnknownProfile = "unknown digest profile: ";

constexpr std::string_view kDocumentMessages[] = {kDepth,      kFloat,       kBareInt,
                                                  kIntPayload, kStrPayload,  kObjPayload,
                                                  kArrPayload, kBoolPayload, kNullPayload};
// Values from the gate hold distinct keys and no lone-surrogate marker, so
// of the encoder's refusals only these three can reach a caller.
constexpr std::string_view kEncoderMessages[] = {kFloat, kNaN, kInfinity};

constexpr auto& kReaderMessages = fuzz_support::reader_msg::kAll;

constexpr std::string_view kTagKeys[] = {"$int", "$nan",  "$inf",  "$str",  "$obj",
                                         "$arr", "$bool", "$null", "$float"};

constexpr auto& kProfiles = quorl::kProfileNames;
constexpr std::string_view kBadProfiles[] = {"artifact-bytes", ""};

constexpr std::int64_t kBound = 9007199254740991;

bool is_digit(unsigned char c) {
  return c >= '0' && c <= '9';
}

// ---------------------------------------------------------------------------
// The raw-text rules, written out plainly: two separate passes.

std::size_t ref_depth(std::string_view t) {
  bool in_string = false, escape = false;
  std::size_t depth = 0, max = 0;
  for (unsigned char c : t) {
    if (in_string) {
      if (escape)
        escape = false;
      else if (c == '"')
        in_string = false;
      else if (c == '\\')
        escape = true;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > max) max = depth;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return max;
}

std::optional<std::string_view> ref_number_fault(std::string_view t) {
  auto token_byte = [](unsigned char c) {
    return is_digit(c) || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E';
  };
  std::size_t i = 0;
  const std::size_t n = t.size();
  while (i < n) {
    const unsigned char c = t[i];
    if (c == '"') {
      std::size_t j = i + 1;
      while (j < n && t[j] != '"') j += (t[j] == '\\') ? 2 : 1;
      if (j >= n) return std::nullopt;
      i = j + 1;
    } else if (c == '-' || is_digit(c)) {
      std::size_t j = i;
      while (j < n && token_byte(t[j])) ++j;
      const std::string_view tok = t.substr(i, j - i);
      const std::size_t sign = tok[0] == '-' ? 1 : 0;
      const std::size_t digits = tok.size() - sign;
      if (digits == 0) return kFloat;
      for (std::size_t k = sign; k < tok.size(); ++k) {
        if (!is_digit(tok[k])) return kFloat;
      }
      if (digits >= 2 && tok[sign] == '0') return kFloat;
      if (tok == "-0") return kFloat;
      if (digits > 16) return kBareInt;
      std::int64_t v = 0;
      for (std::size_t k = sign; k < tok.size(); ++k) v = v * 10 + (tok[k] - '0');
      if (v > kBound) return kBareInt;
      i = j;
    } else {
      ++i;
    }
  }
  return std::nullopt;
}

// "<reader message> at line L column C" naming a place inside text.
bool valid_reader_error(std::string_view rest, std::string_view text) {
  const std::size_t at = rest.rfind(" at line ");
  if (at == std::string_view::npos) return false;
  const std::string_view message = rest.substr(0, at);
  bool known = false;
  for (std::string_view m : kReaderMessages) known = known || m == message;
  if (!known) return false;
  std::string_view pos = rest.substr(at + 9);
  const std::size_t col = pos.find(" column ");
  if (col == std::string_view::npos) return false;
  auto number = [](std::string_view s, std::size_t& v) {
    if (s.empty() || s.size() > 19 || (s.size() > 1 && s[0] == '0')) return false;
    v = 0;
    for (char c : s) {
      if (!is_digit(c)) return false;
      v = v * 10 + static_cast<std::size_t>(c - '0');
    }
    return true;
  };
  std::size_t line, column;
  if (!number(pos.substr(0, col), line) || !number(pos.substr(col + 8), column)) return false;
  if (line == 0) return false;
  std::size_t start = 0;
  for (std::size_t l = 1; l < line; ++l) {
    const std::size_t lf = text.find('\n', start);
    if (lf == std::string_view::npos) return false;
    start = lf + 1;
  }
  if (start + column > text.size()) return false;
  return text.substr(start, column).find('\n') == std::string_view::npos;
}

bool known_message(std::string_view m, std::string_view text, bool encoding) {
  for (std::string_view k : kDocumentMessages) {
    if (m == k) return true;
  }
  if (encoding) {
    for (std::string_view k : kEncoderMessages) {
      if (m == k) return true;
    }
  }
  if (m.substr(0, kInvalidJson.size()) == kInvalidJson)
    return valid_reader_error(m.substr(kInvalidJson.size()), text);
  return false;
}

// ---------------------------------------------------------------------------
// Rewrites of a decoded value as tagged text with the same meaning.

struct Rng {
  std::uint64_t s;
  std::uint64_t next() {
    std::uint64_t z = (s += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  bool one_in(unsigned k) { return next() % k == 0; }
  unsigned below(unsigned k) { return static_cast<unsigned>(next() % k); }
};

bool is_tag_key(std::string_view k) {
  for (std::string_view t : kTagKeys) {
    if (k == t) return true;
  }
  return false;
}

class Writer {
 public:
  // heavy = false: the plainest text, tags only where the value needs them;
  // then the text equals the canonical form whenever no tag was needed.
  Writer(bool heavy, bool utf8, std::uint64_t seed) : heavy_(heavy), utf8_(utf8), rng_{seed} {}

  std::string out;
  bool needed_tag = false;

  void value(const QuorlValue& v, bool root_digest = false) {
    ws();
    switch (v.kind()) {
      case quorl::Kind::Null:
        if (heavy_ && rng_.one_in(3))
          out += "{\"$null\":true}";
        else
          out += "null";
        break;
      case quorl::Kind::Bool: {
        const char* lit = v.as<quorl::Bool>().value ? "true" : "false";
        if (heavy_ && rng_.one_in(3)) {
          out += "{\"$bool\":";
          out += lit;
          out += '}';
        } else {
          out += lit;
        }
        break;
      }
      case quorl::Kind::Int:
        integer(v.as<quorl::Int>().to_decimal());
        break;
      case quorl::Kind::Str:
        if (heavy_ && rng_.one_in(3)) {
          out += "{\"$str\":";
          string(v.as<quorl::Str>().text);
          out += '}';
        } else {
          string(v.as<quorl::Str>().text);
        }
        break;
      case quorl::Kind::Array: {
        const bool wrap = heavy_ && rng_.one_in(3);
        if (wrap) out += "{\"$arr\":";
        out += '[';
        const auto& items = v.as<quorl::Array>().items;
        for (std::size_t k = 0; k < items.size(); ++k) {
          if (k) sep();
          value(items[k]);
        }
        ws();
        out += ']';
        if (wrap) out += '}';
        break;
      }
      case quorl::Kind::Object:
        object(v.as<quorl::Object>().entries, root_digest);
        break;
      case quorl::Kind::Float:
        marker("$float");
        break;
      case quorl::Kind::NaN:
        marker("$nan");
        break;
      case quorl::Kind::Infinity:
        marker("$inf");
        break;
      case quorl::Kind::LoneSurrogate:
        broken("the gate let a lone-surrogate marker through");
    }
    ws();
  }

 private:
  void ws() {
    if (!heavy_ || !rng_.one_in(4)) return;
    static constexpr char kWs[] = {' ', '\t', '\n', '\r'};
    for (unsigned k = rng_.below(3) + 1; k > 0; --k) out += kWs[rng_.below(4)];
  }
  void sep() {
    ws();
    out += ',';
    ws();
  }

  void integer(const std::string& dec) {
    const bool negative = dec[0] == '-';
    const std::string_view digits = std::string_view(dec).substr(negative ? 1 : 0);
    bool bare_ok = digits.size() <= 16;
    if (bare_ok) {
      std::int64_t v = 0;
      for (char c : digits) v = v * 10 + (c - '0');
      bare_ok = v <= kBound;
    }
    if (!bare_ok) needed_tag = true;
    if (bare_ok && !(heavy_ && rng_.one_in(2))) {
      out += dec;
      return;
    }
    out += "{\"$int\":\"";
    if (negative || (heavy_ && dec == "0" && rng_.one_in(2))) out += '-';
    if (heavy_) out.append(rng_.below(4), '0');
    out += digits;
    out += "\"}";
  }

  void marker(const char* tag) {
    // Scalars only: a bracket here could take the raw depth past the gate's bound.
    static constexpr const char* kPayloads[] = {"0", "null", "\"x\"", "true", "-5", "\"\""};
    out += "{\"";
    out += tag;
    out += "\":";
    out += heavy_ ? kPayloads[rng_.below(6)] : "0";
    out += '}';
  }

  // Values a reader accepts and the gate lets through, to stand in front of
  // a key that appears again later (the later value wins, so these are never
  // decoded). At most one bracket deep, so that the raw depth stays within
  // the gate's bound.
  void junk() {
    static constexpr const char* kJunk[] = {
        "{\"$int\":\"x\"}", "{\"$str\":1}", "{\"$null\":false}", "{\"$nan\":0}", "[]",
        "\"junk\"",         "-12"};
    out += kJunk[rng_.below(7)];
  }

  void object(const std::vector<quorl::QuorlEntry>& entries, bool root_digest) {
    const bool tag_shaped = entries.size() == 1 && is_tag_key(entries[0].key);
    if (tag_shaped) needed_tag = true;
    const bool wrap = tag_shaped || (heavy_ && rng_.one_in(4));
    if (wrap) out += "{\"$obj\":";
    out += '{';
    std::vector<std::size_t> order(entries.size());
    for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
    if (heavy_) {
      for (std::size_t k = order.size(); k > 1; --k) std::swap(order[k - 1], order[rng_.below(k)]);
    }
    bool first = true;
    auto member = [&](std::string_view key, auto&& write_value) {
      if (!first) sep();
      first = false;
      ws();
      string(key);
      ws();
      out += ':';
      write_value();
    };
    // A root "digest" member, for the digest only: any decodable value, put
    // anywhere among the members; the digest leaves it out.
    const std::size_t digest_at =
        root_digest ? rng_.below(static_cast<unsigned>(order.size()) + 1) : SIZE_MAX;
    for (std::size_t k = 0; k <= order.size(); ++k) {
      if (k == digest_at) {
        member("digest", [&] { out += rng_.one_in(2) ? "{\"$nan\":0}" : "{\"$float\":\"x\"}"; });
      }
      if (k == order.size()) break;
      const auto& e = entries[order[k]];
      if (heavy_ && rng_.one_in(5)) member(e.key, [&] { junk(); });
      member(e.key, [&] { value(e.value); });
    }
    ws();
    out += '}';
    if (wrap) out += '}';
  }

  void hex4(std::uint32_t u) {
    static constexpr char kLower[] = "0123456789abcdef";
    static constexpr char kUpper[] = "0123456789ABCDEF";
    const char* digits = rng_.one_in(2) ? kLower : kUpper;
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += digits[(u >> shift) & 0xF];
  }

  // A string literal. The plain writer escapes exactly what the canonical
  // form escapes, in the same way; the heavy one escapes at random.
  void string(std::string_view s) {
    out += '"';
    std::size_t i = 0;
    while (i < s.size()) {
      const auto c = static_cast<unsigned char>(s[i]);
      std::size_t len = 1;
      std::uint32_t cp = c;
      if (c >= 0x80 && utf8_) {
        len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
        cp = c & (len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07);
        for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (s[i + k] & 0x3F);
      }
      const bool must = c < 0x20 || c == '"' || c == '\\';
      if (!heavy_) {
        if (c == '"')
          out += "\\\"";
        else if (c == '\\')
          out += "\\\\";
        else if (c < 0x20) {
          static constexpr char kHex[] = "0123456789abcdef";
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0xF];
        } else {
          out.append(s.substr(i, len));
        }
      } else if (!must && (rng_.below(4) != 0 || (c >= 0x80 && !utf8_))) {
        out.append(s.substr(i, len));
      } else {
        const char* short_form = nullptr;
        switch (c) {
          case '"':
            short_form = "\\\"";
            break;
          case '\\':
            short_form = "\\\\";
            break;
          case '/':
            short_form = "\\/";
            break;
          case '\b':
            short_form = "\\b";
            break;
          case '\f':
            short_form = "\\f";
            break;
          case '\n':
            short_form = "\\n";
            break;
          case '\r':
            short_form = "\\r";
            break;
          case '\t':
            short_form = "\\t";
            break;
          default:
            break;
        }
        if (short_form != nullptr && rng_.one_in(2)) {
          out += short_form;
        } else if (cp >= 0x10000) {
          hex4(0xD800 + ((cp - 0x10000) >> 10));
          hex4(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
          hex4(cp);
        }
      }
      i += len;
    }
    out += '"';
  }

  bool heavy_;
  bool utf8_;
  Rng rng_;
};

// ---------------------------------------------------------------------------
// The canonical text read back through the reader holds the same data.

bool same_data(const quorl::json::JsonTree& t, const QuorlValue& v) {
  using namespace quorl::json;
  switch (v.kind()) {
    case quorl::Kind::Null:
      return std::holds_alternative<JsonNull>(t.node);
    case quorl::Kind::Bool: {
      const auto* b = std::get_if<JsonBool>(&t.node);
      return b != nullptr && b->value == v.as<quorl::Bool>().value;
    }
    case quorl::Kind::Int: {
      const auto* n = std::get_if<JsonNumber>(&t.node);
      if (n == nullptr) return false;
      const std::string dec = v.as<quorl::Int>().to_decimal();
      if (n->kind == NumberKind::PosInt) return dec == std::to_string(n->pos_int);
      if (n->kind == NumberKind::NegInt) return dec == std::to_string(n->neg_int);
      return dec.size() >= 20;  // beyond 64 bits the reader keeps a double
    }
    case quorl::Kind::Str: {
      const auto* s = std::get_if<JsonString>(&t.node);
      return s != nullptr && s->value == v.as<quorl::Str>().text;
    }
    case quorl::Kind::Array: {
      const auto* a = std::get_if<JsonArray>(&t.node);
      const auto& items = v.as<quorl::Array>().items;
      if (a == nullptr || a->items.size() != items.size()) return false;
      for (std::size_t k = 0; k < items.size(); ++k) {
        if (!same_data(a->items[k], items[k])) return false;
      }
      return true;
    }
    case quorl::Kind::Object: {
      // Decoded objects hold distinct keys in ascending order, as the reader does.
      const auto* o = std::get_if<JsonObject>(&t.node);
      const auto& entries = v.as<quorl::Object>().entries;
      if (o == nullptr || o->members.size() != entries.size()) return false;
      for (std::size_t k = 0; k < entries.size(); ++k) {
        if (o->members[k].key != entries[k].key) return false;
        if (!same_data(o->members[k].value, entries[k].value)) return false;
      }
      return true;
    }
    default:
      return false;
  }
}

std::string text_of(const Outcome& r) {
  return r.ok() ? r.value() : r.error().message;
}

void expect_same(const Outcome& got, const Outcome& want, const char* property) {
  if (got.ok() != want.ok() || text_of(got) != text_of(want)) {
    broken(property, (got.ok() ? "ok: " : "error: ") + text_of(got) +
                         (want.ok() ? "  <->  expected ok: " : "  <->  expected error: ") +
                         text_of(want));
  }
}

std::string expected_digest(std::string_view profile, std::string_view canonical) {
  quorl::Sha256 h;
  h.feed("spec-quorl:v2:");
  h.feed(profile);
  h.feed("\n");
  h.feed(canonical);
  return quorl::to_hex(h.finish());
}

// Floats taken as strings: the front door (the text read again with its
// float tokens quoted) gives what the exact path gives, refusals at the
// same place; the digest covers that text; a text without float tokens
// reads as it does when floats are refused; and the quoted text means the
// same as the original wherever either reads.
void check_floats_as_strings(std::string_view text, const Outcome& exact_plain, std::size_t size) {
  using quorl::FloatPolicy;

  const Outcome exact = quorl::exact_canonical_text(text, false, FloatPolicy::Str);
  static quorl::DirectText scratch;
  quorl::Result<quorl::CanonicalText> front =
      quorl::canonical_text_from_json(text, scratch, false, nullptr, nullptr, FloatPolicy::Str);
  Outcome front_text = quorl::fail(quorl::QuorlError{});
  if (front.ok()) {
    std::string bytes(front.value().size(), '\0');
    front.value().write_to(bytes.data());
    front_text = std::move(bytes);
  } else {
    front_text = quorl::fail(front.error());
  }
  expect_same(front_text, exact, "floats as strings: front door differs from the exact path");
  if (!front_text.ok() && front_text.error().offset != exact.error().offset)
    broken("floats as strings: refusal located elsewhere", exact.error().message);

  const std::string_view profile = kProfiles[size % std::size(kProfiles)];
  const Outcome exact_skip = quorl::exact_canonical_text(text, true, FloatPolicy::Str);
  const Outcome hex = quorl::pipelined_digest_from_json(
      text, profile, scratch, quorl::kHashThreadFromBytes, FloatPolicy::Str);
  if (exact_skip.ok()) {
    if (!hex.ok() || hex.value() != expected_digest(profile, exact_skip.value()))
      broken("floats as strings: digest is not of the exact text", text_of(hex));
  } else {
    expect_same(hex, exact_skip, "floats as strings: digest failure differs");
  }

  std::string quoted;
  switch (quorl::quote_float_tokens(text, quoted)) {
    case quorl::QuotedFloats::None:
      expect_same(exact, exact_plain, "floats as strings: a text without floats reads otherwise");
      break;
    case quorl::QuotedFloats::Quoted: {
      const Outcome plain = quorl::exact_canonical_text(quoted, false);
      if (plain.ok() || exact.ok())
        expect_same(plain, exact, "floats as strings: quoted text differs");
      break;
    }
    case quorl::QuotedFloats::Exact:
      if (exact.ok())
        broken("floats as strings: a text left to the exact path reads", exact.value());
      break;
  }
}

// Integers of fewer digits are all below the largest double.
constexpr std::size_t kDoubleRangeDigits = 309;

bool has_digit_run(std::string_view s, std::size_t length) {
  std::size_t run = 0;
  for (unsigned char c : s) {
    run = is_digit(c) ? run + 1 : 0;
    if (run >= length) return true;
  }
  return false;
}

std::uint64_t fnv1a(std::string_view s) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (unsigned char c : s) h = (h ^ c) * 0x100000001b3ULL;
  return h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const bool utf8 = valid_utf8(text);

  // --- the exact path
  quorl::Result<QuorlValue> decoded = quorl::decode_input_json(text);
  Outcome exact_plain = quorl::fail(quorl::QuorlError{});
  Outcome exact_skip = quorl::fail(quorl::QuorlError{});
  if (!decoded.ok()) {
    exact_plain = quorl::fail(decoded.error());
    exact_skip = quorl::fail(decoded.error());
    if (!known_message(decoded.error().message, text, false))
      broken("decode_input_json: not a fixed message", decoded.error().message);
  } else {
    exact_plain = quorl::exact_canonical_text(text, false);
    exact_skip = quorl::exact_canonical_text(text, true);
    for (const Outcome* r : {&exact_plain, &exact_skip}) {
      if (!r->ok()) {
        bool known = false;
        for (std::string_view k : kEncoderMessages) known = known || r->error().message == k;
        if (!known) broken("encoder: unexpected message for a decoded value", r->error().message);
      }
    }
  }

  // --- 4. raw-text rules first
  {
    const std::size_t depth = ref_depth(text);
    const std::optional<std::string_view> number_fault = ref_number_fault(text);
    const std::string got = decoded.ok() ? std::string() : decoded.error().message;
    if (depth >= 258) {
      if (got != kDepth) broken("258 brackets open but not the depth message", got);
    } else if (number_fault) {
      if (got != *number_fault) broken("first bad number token does not decide", got);
    } else if (!decoded.ok()) {
      if (got == kFloat || got == kBareInt)
        broken("number message for a text whose tokens pass", got);
      if (got == kDepth && depth <= 128) broken("depth message for a text nesting <= 128", got);
    }
  }

  // --- 1. direct path = exact path
  for (bool skip : {false, true}) {
    std::string direct;
    const bool taken = quorl::direct_canonical(text, skip, direct);
    const Outcome& exact = skip ? exact_skip : exact_plain;
    if (taken && !exact.ok())
      broken(skip ? "direct path (skip digest) accepted what the exact path refuses"
                  : "direct path accepted what the exact path refuses",
             exact.error().message);
    if (taken && direct != exact.value())
      broken(skip ? "direct path (skip digest) bytes differ from the exact path"
                  : "direct path bytes differ from the exact path",
             direct + "  <->  " + exact.value());
  }

  // --- 2. the module's function = the exact path
  expect_same(quorl::py_canonical_bytes_from_json(text), exact_plain,
              "py_canonical_bytes_from_json differs from the exact path");

  // --- 5. digests
  for (std::string_view profile : kProfiles) {
    const Outcome got = quorl::py_digest_from_json(text, profile);
    if (!exact_skip.ok()) {
      expect_same(got, exact_skip, "py_digest_from_json: failure differs");
      continue;
    }
    if (!got.ok()) broken("py_digest_from_json failed", got.error().message);
    const std::string& hex = got.value();
    if (hex.size() != 64) broken("digest not 64 characters", hex);
    for (char c : hex) {
      if (!(is_digit(c) || (c >= 'a' && c <= 'f'))) broken("digest not lowercase hex", hex);
    }
    if (hex != expected_digest(profile, exact_skip.value()))
      broken("digest is not SHA-256 of the domain line and the canonical text");
  }
  // The message the JSON Lines walk hashes two at a time: the domain line,
  // then exactly the canonical text, appended after what the buffer holds.
  {
    static quorl::DirectText scratch;  // reused, as the walk reuses it
    std::string message = "kept";
    const auto profile_code = static_cast<quorl::Profile>(size % std::size(kProfiles));
    const std::string_view profile = quorl::profile_name(profile_code);
    const quorl::Result<quorl::Unit> built =
        quorl::append_digest_message(text, profile_code, scratch, message);
    if (built.ok() != exact_skip.ok()) broken("append_digest_message: outcome differs");
    if (!built.ok() && built.error().message != exact_skip.error().message)
      broken("append_digest_message: failure differs", built.error().message);
    if (built.ok()) {
      const std::string expected = "kept" + std::string(quorl::kDomainTag) + std::string(profile) +
                                   "\n" + exact_skip.value();
      if (message != expected) broken("append_digest_message: message differs", message);
    }
  }
  for (std::string_view profile : kBadProfiles) {
    const Outcome got = quorl::py_digest_from_json(text, profile);
    if (!decoded.ok()) {
      expect_same(got, exact_skip,
                  "py_digest_from_json (unknown profile): document error expected");
    } else if (got.ok() ||
               got.error().message != std::string(kUnknownProfile) + std::string(profile)) {
      broken("py_digest_from_json: profile message expected", text_of(got));
    }
  }

  // --- 8. floats as strings
  check_floats_as_strings(text, exact_plain, size);

  if (!decoded.ok()) return 0;
  const QuorlValue& root = decoded.value();

  // --- 7. the canonical text
  Writer plain(false, utf8, 0);
  plain.value(root);
  if (exact_plain.ok()) {
    const std::string& canon = exact_plain.value();
    if (utf8 && !valid_utf8(canon)) broken("canonical text of UTF-8 input is not UTF-8");
    quorl::json::JsonReader reader(canon);
    auto tree = reader.read_value();
    // A "$int" beyond the double range is written as its digits: valid JSON
    // that the reader refuses as out of range, as readers built on doubles do.
    const bool refused_as_out_of_range =
        !tree.ok() && tree.error().message == fuzz_support::reader_msg::kOutOfRange;
    if (refused_as_out_of_range && !has_digit_run(canon, kDoubleRangeDigits)) {
      broken("canonical text refused as out of range without a long integer", canon);
    }
    if (!refused_as_out_of_range) {
      if (!tree.ok() || !reader.expect_end().ok())
        broken("canonical text does not read as JSON", canon);
      if (!same_data(tree.value(), root)) broken("canonical text reads back to other data", canon);
    }
    if (!plain.needed_tag) {
      if (plain.out != canon)
        broken("canonical text differs from the plain writing", canon + "  <->  " + plain.out);
      expect_same(quorl::py_canonical_bytes_from_json(canon), exact_plain,
                  "canonical text is not a fixed point");
    }
  }

  // --- 6. rewrites keep the meaning
  expect_same(quorl::py_canonical_bytes_from_json(plain.out), exact_plain,
              "plain tagged writing canonicalizes differently");
  const std::uint64_t seed = fnv1a(text);
  for (std::uint64_t round = 0; round < 2; ++round) {
    Writer heavy(true, utf8, seed + round);
    heavy.value(root);
    if (quorl::raw_bracket_depth(heavy.out) > quorl::kMaxRawBracketDepth)
      broken("rewriting exceeded the raw depth bound (harness fault)", heavy.out);
    expect_same(quorl::py_canonical_bytes_from_json(heavy.out), exact_plain,
                "rewritten text canonicalizes differently");

    Writer with_digest(true, utf8, seed ^ (round + 0x5bd1e995));
    with_digest.value(root, root.is<quorl::Object>());
    const std::string_view profile = kProfiles[(seed + round) % 4];
    expect_same(quorl::py_digest_from_json(with_digest.out, profile),
                quorl::py_digest_from_json(text, profile),
                "rewritten text with a root digest member digests differently");
  }
  return 0;
}
