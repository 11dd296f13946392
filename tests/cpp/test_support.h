// Small builders shared by the core suites: QuorlValue and JsonTree nodes
// made by hand, a structural dump of a QuorlValue, and an Outcome type that
// lets a table row state "these bytes" or "this message" in one field.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/result.h"
#include "core/exact/quorl_value.h"
#include "json/reader/json_tree.h"

namespace qtest {

using quorl::QuorlEntry;
using quorl::QuorlValue;
namespace json = quorl::json;

// The fixed failure texts, typed out here rather than taken from the
// implementation's constants, so that a changed constant shows up.
inline constexpr std::string_view kDepthMsg = "nesting depth exceeds the maximum of 128";
inline constexpr std::string_view kDuplicateMsg = "duplicate object key in canonical content";
inline constexpr std::string_view kFloatMsg =
    "floats are forbidden in canonical content; pre-represent as int or string";
inline constexpr std::string_view kNaNMsg = "NaN is forbidden in canonical content";
inline constexpr std::string_view kInfinityMsg = "Infinity is forbidden in canonical content";
inline constexpr std::string_view kLoneSurrogateMsg =
    "unpaired surrogate U+D800 is not allowed in canonical content";
inline constexpr std::string_view kBareIntMsg =
    "bare JSON integer beyond +/-(2^53 - 1): use a $int tag";
inline constexpr std::string_view kIntPayloadMsg =
    "invalid $int payload: expected optional '-' then ASCII digits";
inline constexpr std::string_view kStrPayloadMsg = "invalid $str payload: expected a JSON string";
inline constexpr std::string_view kObjPayloadMsg = "invalid $obj payload: expected a JSON object";
inline constexpr std::string_view kArrPayloadMsg = "invalid $arr payload: expected a JSON array";
inline constexpr std::string_view kBoolPayloadMsg =
    "invalid $bool payload: expected a JSON boolean";
inline constexpr std::string_view kNullPayloadMsg = "invalid $null payload: expected true";

// ---------------------------------------------------------------- values

inline QuorlValue null_v() {
  return QuorlValue(quorl::Null{});
}
inline QuorlValue bool_v(bool b) {
  return QuorlValue(quorl::Bool{b});
}
inline QuorlValue int_v(std::int64_t v) {
  return QuorlValue(quorl::Int(v));
}
inline QuorlValue str_v(std::string s) {
  return QuorlValue(quorl::Str{std::move(s)});
}
inline QuorlValue float_v() {
  return QuorlValue(quorl::Float{});
}
inline QuorlValue nan_v() {
  return QuorlValue(quorl::NaN{});
}
inline QuorlValue inf_v() {
  return QuorlValue(quorl::Infinity{});
}
inline QuorlValue lone_v() {
  return QuorlValue(quorl::LoneSurrogate{});
}

// An Int from decimal text that the test knows to be valid.
inline quorl::Int int_from(std::string_view text) {
  quorl::Int out;
  const bool ok = quorl::Int::from_decimal(text, &out);
  EXPECT_TRUE(ok) << "Int::from_decimal refused " << text.substr(0, 60);
  return out;
}
inline QuorlValue big_v(std::string_view text) {
  return QuorlValue(int_from(text));
}

template <class... V>
QuorlValue arr_v(V... items) {
  quorl::Array a;
  (a.items.push_back(QuorlValue(std::move(items))), ...);
  return QuorlValue(std::move(a));
}

inline QuorlEntry ent(std::string key, QuorlValue value) {
  return QuorlEntry{std::move(key), std::move(value)};
}

// Entries kept exactly in the order given: no sorting, duplicates allowed.
template <class... E>
std::vector<QuorlEntry> entries(E... es) {
  std::vector<QuorlEntry> out;
  (out.push_back(std::move(es)), ...);
  return out;
}

template <class... E>
QuorlValue obj_v(E... es) {
  return QuorlValue(quorl::Object{entries(std::move(es)...)});
}

// n arrays around inner: [[...[inner]...]].
inline QuorlValue nest_arrays(std::size_t n, QuorlValue inner) {
  for (std::size_t i = 0; i < n; ++i) inner = arr_v(std::move(inner));
  return inner;
}

// n one-member objects around inner: {"k":{"k":...inner...}}.
inline QuorlValue nest_objects(std::size_t n, QuorlValue inner) {
  for (std::size_t i = 0; i < n; ++i) {
    quorl::Object o;
    o.entries.emplace_back();
    o.entries.back().key = "k";
    o.entries.back().value = std::move(inner);
    inner = QuorlValue(std::move(o));
  }
  return inner;
}

// Joins texts with append only. (Writing "literal" + temporary_string trips a
// false -Wrestrict report in GCC 12 at -O3.)
template <class... Parts>
std::string cat(const Parts&... parts) {
  std::string out;
  (out.append(std::string_view(parts)), ...);
  return out;
}

inline std::string repeat(std::string_view piece, std::size_t n) {
  std::string out;
  out.reserve(piece.size() * n);
  for (std::size_t i = 0; i < n; ++i) out.append(piece);
  return out;
}

// ---------------------------------------------------------------- trees

inline json::JsonTree jnull() {
  return json::JsonTree{json::JsonNull{}};
}
inline json::JsonTree jbool(bool b) {
  return json::JsonTree{json::JsonBool{b}};
}
inline json::JsonTree jpos(std::uint64_t v) {
  return json::JsonTree{json::JsonNumber::pos(v)};
}
inline json::JsonTree jneg(std::int64_t v) {
  return json::JsonTree{json::JsonNumber::neg(v)};
}
inline json::JsonTree jdbl(double v) {
  return json::JsonTree{json::JsonNumber::real(v)};
}
inline json::JsonTree jstr(std::string s) {
  return json::JsonTree{json::JsonString{std::move(s)}};
}

template <class... T>
json::JsonTree jarr(T... items) {
  json::JsonArray a;
  (a.items.push_back(std::move(items)), ...);
  return json::JsonTree{std::move(a)};
}

inline json::JsonMember jmem(std::string key, json::JsonTree value) {
  return json::JsonMember{std::move(key), std::move(value)};
}

// An object as the reader delivers it: members in ascending key-byte order,
// each key once. The builder sorts, so rows may list members in any order.
template <class... M>
json::JsonTree jobj(M... members) {
  json::JsonObject o;
  (o.members.push_back(std::move(members)), ...);
  std::sort(o.members.begin(), o.members.end(),
            [](const json::JsonMember& a, const json::JsonMember& b) { return a.key < b.key; });
  for (std::size_t i = 1; i < o.members.size(); ++i) {
    EXPECT_NE(o.members[i - 1].key, o.members[i].key) << "a JsonObject holds each key once";
  }
  return json::JsonTree{std::move(o)};
}

// A one-member object, the shape of every tagged form.
inline json::JsonTree jtag(std::string key, json::JsonTree payload) {
  return jobj(jmem(std::move(key), std::move(payload)));
}

inline json::JsonTree jnest_arrays(std::size_t n, json::JsonTree inner) {
  for (std::size_t i = 0; i < n; ++i) inner = jarr(std::move(inner));
  return inner;
}

// The canonical string form, byte by byte, the model the string-form
// kernels are held to: '"' and '\\' get a backslash, bytes below 0x20 become
// \u00xx in lowercase hex, everything else is copied.
inline std::string reference_string_form(std::string_view s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c < 0x20) {
      char buf[7];
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
      out.append(buf);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  out.push_back('"');
  return out;
}

// ---------------------------------------------------------------- dump

// Readable bytes: printable ASCII as is, '"' and '\\' escaped, the rest as
// \xNN. Only for the dump; unrelated to the canonical string form.
inline std::string quote_bytes(std::string_view s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c >= 0x20 && c < 0x7F) {
      out.push_back(static_cast<char>(c));
    } else {
      char buf[5];
      std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned>(c));
      out.append(buf);
    }
  }
  out.push_back('"');
  return out;
}

// The structure of a value, every alternative and the stored entry order
// visible: null, true, int:5, str:"x", [..], {"k":..}, Float, NaN, Infinity,
// LoneSurrogate.
inline void dump_into(std::string& out, const QuorlValue& v) {
  using quorl::Kind;
  switch (v.kind()) {
    case Kind::Null:
      out += "null";
      return;
    case Kind::Bool:
      out += v.as<quorl::Bool>().value ? "true" : "false";
      return;
    case Kind::Int:
      out += "int:";
      v.as<quorl::Int>().append_decimal(out);
      return;
    case Kind::Str:
      out += "str:";
      out += quote_bytes(v.as<quorl::Str>().text);
      return;
    case Kind::Array: {
      out += '[';
      bool first = true;
      for (const QuorlValue& item : v.as<quorl::Array>().items) {
        if (!first) out += ',';
        first = false;
        dump_into(out, item);
      }
      out += ']';
      return;
    }
    case Kind::Object: {
      out += '{';
      bool first = true;
      for (const QuorlEntry& e : v.as<quorl::Object>().entries) {
        if (!first) out += ',';
        first = false;
        out += quote_bytes(e.key);
        out += ':';
        dump_into(out, e.value);
      }
      out += '}';
      return;
    }
    case Kind::Float:
      out += "Float";
      return;
    case Kind::NaN:
      out += "NaN";
      return;
    case Kind::Infinity:
      out += "Infinity";
      return;
    case Kind::LoneSurrogate:
      out += "LoneSurrogate";
      return;
  }
  out += "<bad kind>";
}

inline std::string dump(const QuorlValue& v) {
  std::string out;
  dump_into(out, v);
  return out;
}

// ---------------------------------------------------------------- outcomes

// What a call gave: ok with its text (the bytes, or the dump of a value), or
// a failure with its message.
struct Outcome {
  bool ok = false;
  std::string text;
  friend bool operator==(const Outcome&, const Outcome&) = default;
};

inline Outcome Ok(std::string text) {
  return Outcome{true, std::move(text)};
}
inline Outcome Err(std::string_view message) {
  return Outcome{false, std::string(message)};
}

inline void PrintTo(const Outcome& o, std::ostream* os) {
  *os << (o.ok ? "Ok(" : "Err(");
  if (o.text.size() > 300) {
    *os << quote_bytes(o.text.substr(0, 150)) << " ... (" << o.text.size() << " bytes)";
  } else {
    *os << quote_bytes(o.text);
  }
  *os << ")";
}

inline Outcome outcome(const quorl::Result<std::string>& r) {
  return r.ok() ? Ok(r.value()) : Err(r.error().message);
}
inline Outcome outcome(const quorl::Result<QuorlValue>& r) {
  return r.ok() ? Ok(dump(r.value())) : Err(r.error().message);
}

// Turns a row label into a GoogleTest parameter name.
inline std::string param_name(std::string_view label) {
  std::string out;
  for (char c : label) {
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    out.push_back(alnum ? c : '_');
  }
  return out.empty() ? std::string("empty") : out;
}

}  // namespace qtest
