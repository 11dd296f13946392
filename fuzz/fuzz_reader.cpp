// libFuzzer target over the strict JSON reader alone.
//
// Every input is read twice: by JsonReader, and by a small second reader in
// this file that follows the reader's rules step by step (grammar, the
// eighteen messages and where each is reported, the composition of doubles,
// later-duplicate-wins). The two must agree on everything: success or the
// rendered error, the index after read_value, and the tree down to the bits
// of every double. On success the tree must also be well formed (keys
// strictly ascending, NegInt negative, doubles finite, strings valid UTF-8
// when the text was), and framing the text as the only item of an array
// must give the same tree.
//
// The reader has no nesting limit of its own (the input gate bounds it), so
// texts whose raw bracket depth the gate would refuse are skipped.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "core/exact/input_gate.h"
#include "fuzz_support.h"
#include "json/reader/json_error.h"
#include "json/reader/json_reader.h"
#include "json/reader/json_tree.h"

namespace {

using fuzz_support::broken;
using namespace fuzz_support::reader_msg;
using fuzz_support::valid_utf8;

using quorl::json::JsonArray;
using quorl::json::JsonBool;
using quorl::json::JsonError;
using quorl::json::JsonMember;
using quorl::json::JsonNull;
using quorl::json::JsonNumber;
using quorl::json::JsonObject;
using quorl::json::JsonReader;
using quorl::json::JsonString;
using quorl::json::JsonTree;
using quorl::json::NumberKind;

// ---------------------------------------------------------------------------
// The second reader. Written for clarity, not speed: one byte at a time,
// errors as (message, position), positions turned into line and column the
// slow way.

// P[k]: the double nearest to 10^k, from the C library's correctly rounded
// conversion rather than from the reader's table.
struct Pow10 {
  double p[309];
  Pow10() {
    for (int k = 0; k <= 308; ++k) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "1e%d", k);
      p[k] = std::strtod(buf, nullptr);
    }
  }
};
const Pow10 kP;

class RefReader {
 public:
  explicit RefReader(std::string_view text)
      : p_(reinterpret_cast<const unsigned char*>(text.data())), n_(text.size()) {}

  std::string_view msg;  // empty while no error
  std::size_t pos = 0;
  std::size_t i = 0;

  bool read_value(JsonTree& out) { return value(out); }
  bool expect_end() {
    ws();
    if (i < n_) return next(kTrailingChars);
    return true;
  }

 private:
  bool cur(std::string_view m) {
    msg = m;
    pos = i;
    return false;
  }
  bool next(std::string_view m) {
    msg = m;
    pos = i < n_ ? i + 1 : n_;
    return false;
  }
  static bool digit(unsigned c) { return c >= '0' && c <= '9'; }
  bool peek_digit() const { return i < n_ && digit(p_[i]); }
  void ws() {
    while (i < n_ && (p_[i] == ' ' || p_[i] == '\t' || p_[i] == '\n' || p_[i] == '\r')) ++i;
  }

  bool value(JsonTree& out) {
    ws();
    if (i >= n_) return next(kEofValue);
    switch (p_[i]) {
      case 'n':
        if (!literal("null")) return false;
        out.node = JsonNull{};
        return true;
      case 't':
        if (!literal("true")) return false;
        out.node = JsonBool{true};
        return true;
      case 'f':
        if (!literal("false")) return false;
        out.node = JsonBool{false};
        return true;
      case '-':
        ++i;
        return number(out, true);
      case '"': {
        ++i;
        std::string s;
        if (!string(s)) return false;
        out.node = JsonString{std::move(s)};
        return true;
      }
      case '[':
        ++i;
        return array(out);
      case '{':
        ++i;
        return object(out);
      default:
        if (digit(p_[i])) return number(out, false);
        return next(kExpectedValue);
    }
  }

  bool literal(std::string_view word) {
    ++i;
    for (std::size_t k = 1; k < word.size(); ++k) {
      if (i >= n_) return cur(kEofValue);
      const unsigned c = p_[i++];
      if (c != static_cast<unsigned char>(word[k])) return cur(kExpectedIdent);
    }
    return true;
  }

  static bool overflows(std::uint64_t s, unsigned d) {
    return s > 1844674407370955161ULL || (s == 1844674407370955161ULL && d > 5);
  }

  bool number(JsonTree& out, bool negative) {
    if (i >= n_) return cur(kEofValue);
    std::uint64_t s = 0;
    const unsigned first = p_[i++];
    std::int64_t base = 0;
    bool long_path = false;
    if (first == '0') {
      if (peek_digit()) return next(kInvalidNumber);
    } else if (digit(first)) {
      s = first - '0';
      while (peek_digit()) {
        const unsigned d = p_[i] - '0';
        if (overflows(s, d)) {
          long_path = true;
          break;
        }
        ++i;
        s = s * 10 + d;
      }
    } else {
      return cur(kInvalidNumber);
    }
    if (long_path) {
      while (peek_digit()) {
        ++i;
        ++base;
      }
    }
    if (i < n_ && p_[i] == '.') return fraction(out, negative, s, base);
    if (i < n_ && (p_[i] == 'e' || p_[i] == 'E')) return exponent(out, negative, s, base);
    if (long_path) return compose(out, negative, s, base);
    if (!negative) {
      out.node = JsonNumber::pos(s);
    } else if (s >= 1 && s <= (std::uint64_t{1} << 63)) {
      out.node = JsonNumber::neg(s == (std::uint64_t{1} << 63) ? INT64_MIN
                                                               : -static_cast<std::int64_t>(s));
    } else {
      out.node = JsonNumber::real(-static_cast<double>(s));
    }
    return true;
  }

  bool fraction(JsonTree& out, bool negative, std::uint64_t s, std::int64_t base) {
    ++i;  // the point
    if (!peek_digit()) return next(i < n_ ? kInvalidNumber : kEofValue);
    std::int64_t k = 0;
    while (peek_digit()) {
      const unsigned d = p_[i] - '0';
      if (overflows(s, d)) {
        while (peek_digit()) ++i;
        break;
      }
      ++i;
      s = s * 10 + d;
      ++k;
    }
    const std::int64_t e = base - k;
    if (i < n_ && (p_[i] == 'e' || p_[i] == 'E')) return exponent(out, negative, s, e);
    return compose(out, negative, s, e);
  }

  bool exponent(JsonTree& out, bool negative, std::uint64_t s, std::int64_t base) {
    ++i;  // e or E
    bool minus = false;
    if (i < n_ && (p_[i] == '+' || p_[i] == '-')) minus = p_[i++] == '-';
    if (i >= n_) return cur(kEofValue);
    const unsigned c = p_[i++];
    if (!digit(c)) return cur(kInvalidNumber);
    std::int64_t x = c - '0';
    while (peek_digit()) {
      const unsigned d = p_[i++] - '0';
      if (x * 10 + d > 2147483647) {
        if (s != 0 && !minus) return cur(kOutOfRange);
        while (peek_digit()) ++i;
        out.node = JsonNumber::real(negative ? -0.0 : 0.0);
        return true;
      }
      x = x * 10 + d;
    }
    std::int64_t e = minus ? base - x : base + x;
    if (e < INT32_MIN) e = INT32_MIN;
    if (e > INT32_MAX) e = INT32_MAX;
    return compose(out, negative, s, e);
  }

  bool compose(JsonTree& out, bool negative, std::uint64_t s, std::int64_t e) {
    double x = static_cast<double>(s);
    while (true) {
      if (e >= -308 && e <= 308) {
        if (e >= 0) {
          x = x * kP.p[e];
          if (std::isinf(x)) return cur(kOutOfRange);
        } else {
          x = x / kP.p[-e];
        }
        break;
      }
      if (x == 0) break;
      if (e >= 0) return cur(kOutOfRange);
      x = x / 1e308;
      e += 308;
    }
    out.node = JsonNumber::real(negative ? -x : x);
    return true;
  }

  static void utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  bool hex4(std::uint32_t& v) {
    if (n_ - i < 4) {
      i = n_;
      return cur(kEofString);
    }
    v = 0;
    bool ok = true;
    for (int k = 0; k < 4; ++k) {
      const unsigned c = p_[i++];
      unsigned h;
      if (c >= '0' && c <= '9')
        h = c - '0';
      else if (c >= 'a' && c <= 'f')
        h = c - 'a' + 10;
      else if (c >= 'A' && c <= 'F')
        h = c - 'A' + 10;
      else {
        ok = false;
        h = 0;
      }
      v = v * 16 + h;
    }
    if (!ok) return cur(kInvalidEscape);
    return true;
  }

  bool string(std::string& out) {
    while (true) {
      if (i >= n_) return cur(kEofString);
      const unsigned c = p_[i];
      if (c < 0x20) {
        ++i;
        return cur(kControl);
      }
      if (c == '"') {
        ++i;
        return true;
      }
      if (c != '\\') {
        out += static_cast<char>(c);
        ++i;
        continue;
      }
      ++i;
      if (i >= n_) return cur(kEofString);
      const unsigned e = p_[i++];
      switch (e) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          std::uint32_t u;
          if (!hex4(u)) return false;
          if (u >= 0xDC00 && u <= 0xDFFF) return cur(kLoneSurrogate);
          if (u < 0xD800 || u > 0xDBFF) {
            utf8(out, u);
            break;
          }
          if (i >= n_) return cur(kEofString);
          if (p_[i++] != '\\') return cur(kUnexpectedEndHex);
          if (i >= n_) return cur(kEofString);
          if (p_[i++] != 'u') return cur(kUnexpectedEndHex);
          std::uint32_t v;
          if (!hex4(v)) return false;
          if (v < 0xDC00 || v > 0xDFFF) return cur(kLoneSurrogate);
          utf8(out, 0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00));
          break;
        }
        default:
          return cur(kInvalidEscape);
      }
    }
  }

  bool array(JsonTree& out) {
    JsonArray a;
    bool first = true;
    while (true) {
      ws();
      if (i >= n_) return next(kEofList);
      if (p_[i] == ']') {
        ++i;
        break;
      }
      if (!first) {
        if (p_[i] != ',') return next(kExpectedCommaBracket);
        ++i;
        ws();
        if (i >= n_) return next(kEofValue);
        if (p_[i] == ']') return next(kTrailingComma);
      }
      first = false;
      a.items.emplace_back();
      if (!value(a.items.back())) return false;
    }
    out.node = std::move(a);
    return true;
  }

  bool object(JsonTree& out) {
    std::map<std::string, JsonTree> members;  // std::string orders by unsigned bytes
    bool first = true;
    while (true) {
      ws();
      if (i >= n_) return next(kEofObject);
      if (p_[i] == '}') {
        ++i;
        break;
      }
      if (first) {
        if (p_[i] != '"') return next(kKeyMustBeString);
      } else {
        if (p_[i] != ',') return next(kExpectedCommaBrace);
        ++i;
        ws();
        if (i >= n_) return next(kEofValue);
        if (p_[i] == '}') return next(kTrailingComma);
        if (p_[i] != '"') return next(kKeyMustBeString);
      }
      first = false;
      ++i;
      std::string key;
      if (!string(key)) return false;
      ws();
      if (i >= n_) return next(kEofObject);
      if (p_[i] != ':') return next(kExpectedColon);
      ++i;
      JsonTree v;
      if (!value(v)) return false;
      members[std::move(key)] = std::move(v);  // a later duplicate replaces
    }
    JsonObject o;
    for (auto& [k, v] : members) o.members.push_back(JsonMember{k, std::move(v)});
    out.node = std::move(o);
    return true;
  }

  const unsigned char* p_;
  std::size_t n_;
};

std::string render(std::string_view text, std::string_view message, std::size_t p) {
  std::size_t line = 1, line_start = 0;
  for (std::size_t k = 0; k < p; ++k) {
    if (text[k] == '\n') {
      ++line;
      line_start = k + 1;
    }
  }
  std::string out(message);
  out += " at line " + std::to_string(line) + " column " + std::to_string(p - line_start);
  return out;
}

// ---------------------------------------------------------------------------

bool same_tree(const JsonTree& a, const JsonTree& b) {
  if (a.node.index() != b.node.index()) return false;
  if (const auto* x = std::get_if<JsonBool>(&a.node))
    return x->value == std::get<JsonBool>(b.node).value;
  if (const auto* x = std::get_if<JsonNumber>(&a.node)) {
    const auto& y = std::get<JsonNumber>(b.node);
    if (x->kind != y.kind) return false;
    switch (x->kind) {
      case NumberKind::PosInt:
        return x->pos_int == y.pos_int;
      case NumberKind::NegInt:
        return x->neg_int == y.neg_int;
      case NumberKind::Double:
        return std::memcmp(&x->dbl, &y.dbl, sizeof(double)) == 0;
    }
    return false;
  }
  if (const auto* x = std::get_if<JsonString>(&a.node))
    return x->value == std::get<JsonString>(b.node).value;
  if (const auto* x = std::get_if<JsonArray>(&a.node)) {
    const auto& y = std::get<JsonArray>(b.node);
    if (x->items.size() != y.items.size()) return false;
    for (std::size_t k = 0; k < x->items.size(); ++k) {
      if (!same_tree(x->items[k], y.items[k])) return false;
    }
    return true;
  }
  if (const auto* x = std::get_if<JsonObject>(&a.node)) {
    const auto& y = std::get<JsonObject>(b.node);
    if (x->members.size() != y.members.size()) return false;
    for (std::size_t k = 0; k < x->members.size(); ++k) {
      if (x->members[k].key != y.members[k].key) return false;
      if (!same_tree(x->members[k].value, y.members[k].value)) return false;
    }
    return true;
  }
  return true;  // JsonNull
}

void check_well_formed(const JsonTree& t, bool utf8_text) {
  if (const auto* n = std::get_if<JsonNumber>(&t.node)) {
    if (n->kind == NumberKind::NegInt && n->neg_int >= 0) broken("NegInt holds a value >= 0");
    if (n->kind == NumberKind::Double && !std::isfinite(n->dbl)) broken("Double not finite");
  } else if (const auto* s = std::get_if<JsonString>(&t.node)) {
    if (utf8_text && !valid_utf8(s->value)) broken("string from UTF-8 text is not UTF-8");
  } else if (const auto* a = std::get_if<JsonArray>(&t.node)) {
    for (const auto& item : a->items) check_well_formed(item, utf8_text);
  } else if (const auto* o = std::get_if<JsonObject>(&t.node)) {
    for (std::size_t k = 0; k < o->members.size(); ++k) {
      if (k > 0 && !(std::string_view(o->members[k - 1].key) < std::string_view(o->members[k].key)))
        broken("object keys not strictly ascending");
      if (utf8_text && !valid_utf8(o->members[k].key)) broken("key from UTF-8 text is not UTF-8");
      check_well_formed(o->members[k].value, utf8_text);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (quorl::raw_bracket_depth(text) > quorl::kMaxRawBracketDepth) return 0;
  const bool utf8_text = valid_utf8(text);

  JsonReader reader(text);
  auto read = reader.read_value();
  RefReader ref(text);
  JsonTree ref_tree;
  const bool ref_read = ref.read_value(ref_tree);

  if (read.ok() != ref_read) {
    broken("read_value: success differs from the reference",
           read.ok() ? render(text, ref.msg, ref.pos) : read.error().render());
  }
  if (!read.ok()) {
    const std::string got = read.error().render();
    const std::string want = render(text, ref.msg, ref.pos);
    if (got != want) broken("read_value: error differs", got + "  <->  expected  " + want);
    return 0;
  }
  if (reader.index() != ref.i) broken("read_value: index after the value differs");
  if (!same_tree(read.value(), ref_tree)) broken("read_value: tree differs from the reference");
  check_well_formed(read.value(), utf8_text);

  auto end = reader.expect_end();
  const bool ref_end = ref.expect_end();
  if (end.ok() != ref_end) broken("expect_end: success differs from the reference");
  if (!end.ok()) {
    const std::string got = end.error().render();
    const std::string want = render(text, ref.msg, ref.pos);
    if (got != want) broken("expect_end: error differs", got + "  <->  expected  " + want);
    return 0;
  }

  // A whole text read alone reads the same as the only item of an array.
  if (quorl::raw_bracket_depth(text) < quorl::kMaxRawBracketDepth) {
    std::string framed = "[";
    framed.append(text);
    framed += "\n]";
    JsonReader again(framed);
    auto r = again.read_value();
    if (!r.ok() || !again.expect_end().ok()) broken("framed text not accepted");
    const auto* arr = std::get_if<JsonArray>(&r.value().node);
    if (arr == nullptr || arr->items.size() != 1 || !same_tree(arr->items[0], read.value()))
      broken("framed text reads differently");
  }
  return 0;
}
