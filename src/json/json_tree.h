// JsonTree: the strict reader's output. Every node owns its children, strings
// and keys; a tree holds no reference into the text it was read from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace quorl::json {

struct JsonTree;
struct JsonMember;

struct JsonNull {};
struct JsonBool {
  bool value = false;
};

enum class NumberKind : std::uint8_t { PosInt, NegInt, Double };

// Exactly one of the three payloads is meaningful, chosen by kind.
struct JsonNumber {
  NumberKind kind = NumberKind::PosInt;
  std::uint64_t pos_int = 0;  // kind PosInt: 0 .. 2^64-1
  std::int64_t neg_int = 0;   // kind NegInt: -2^63 .. -1
  double dbl = 0.0;           // kind Double: always finite, keeps -0.0

  static JsonNumber pos(std::uint64_t v) { return {NumberKind::PosInt, v, 0, 0.0}; }
  static JsonNumber neg(std::int64_t v) { return {NumberKind::NegInt, 0, v, 0.0}; }
  static JsonNumber real(double v) { return {NumberKind::Double, 0, 0, v}; }
};

struct JsonString {
  std::string value;  // valid UTF-8, may hold 0x00
};

// The two containers take their subtrees apart without recursion (see
// release_nested below), so that destroying a deep tree needs no more C
// stack than a shallow one. Copying stays recursive; only tables of test
// trees copy.
struct JsonArray {
  std::vector<JsonTree> items;  // in text order

  JsonArray() = default;
  JsonArray(JsonArray&&) noexcept = default;
  JsonArray& operator=(JsonArray&&) noexcept = default;
  JsonArray(const JsonArray&) = default;
  JsonArray& operator=(const JsonArray&) = default;
  ~JsonArray();
};

// Keys are unique and members stand in ascending unsigned byte order of the
// key; a later duplicate in the text has already replaced the earlier value.
struct JsonObject {
  std::vector<JsonMember> members;

  JsonObject() = default;
  JsonObject(JsonObject&&) noexcept = default;
  JsonObject& operator=(JsonObject&&) noexcept = default;
  JsonObject(const JsonObject&) = default;
  JsonObject& operator=(const JsonObject&) = default;
  ~JsonObject();
};

struct JsonTree {
  std::variant<JsonNull, JsonBool, JsonNumber, JsonString, JsonArray, JsonObject> node;
  // Byte offset of the value's first byte in the text, so that later stages
  // can say where a fault lies.
  std::size_t offset = 0;
};

struct JsonMember {
  std::string key;
  JsonTree value;
};

namespace tree_detail {

// The children vector of a node that has children of its own, or null.
struct Children {
  std::vector<JsonTree>* items = nullptr;
  std::vector<JsonMember>* members = nullptr;
  explicit operator bool() const noexcept { return items != nullptr || members != nullptr; }
};

inline Children children_of(JsonTree& t) noexcept {
  if (auto* a = std::get_if<JsonArray>(&t.node); a != nullptr && !a->items.empty())
    return {&a->items, nullptr};
  if (auto* o = std::get_if<JsonObject>(&t.node); o != nullptr && !o->members.empty())
    return {nullptr, &o->members};
  return {};
}

inline JsonTree& child(const Children& c, std::size_t k) noexcept {
  return c.items != nullptr ? (*c.items)[k] : (*c.members)[k].value;
}
inline std::size_t count(const Children& c) noexcept {
  return c.items != nullptr ? c.items->size() : c.members->size();
}
inline void clear(const Children& c) noexcept {
  if (c.items != nullptr) {
    c.items->clear();
  } else {
    c.members->clear();
  }
}

// The first child at or after k that has children of its own, or count(c).
inline std::size_t next_nested(const Children& c, std::size_t k) noexcept {
  const std::size_t n = count(c);
  while (k < n && !children_of(child(c, k))) ++k;
  return k;
}

// Empties the subtree below top depth first from a heap stack of the
// children vectors being emptied: a vector is cleared only once none of its
// elements has children left, so no destructor goes more than one level down.
inline void release_nested(Children top, std::size_t first) {
  struct Open {
    Children c;
    std::size_t next;
  };
  std::vector<Open> open;
  open.push_back({top, first});
  while (!open.empty()) {
    Open& o = open.back();
    const std::size_t k = next_nested(o.c, o.next);
    if (k == count(o.c)) {
      clear(o.c);
      open.pop_back();
      continue;
    }
    o.next = k + 1;
    const Children below = children_of(child(o.c, k));
    open.push_back({below, 0});
  }
}

}  // namespace tree_detail

inline JsonArray::~JsonArray() {
  if (items.empty()) return;
  const tree_detail::Children c{&items, nullptr};
  if (const std::size_t k = tree_detail::next_nested(c, 0); k < items.size())
    tree_detail::release_nested(c, k);
}

inline JsonObject::~JsonObject() {
  if (members.empty()) return;
  const tree_detail::Children c{nullptr, &members};
  if (const std::size_t k = tree_detail::next_nested(c, 0); k < members.size())
    tree_detail::release_nested(c, k);
}

}  // namespace quorl::json
