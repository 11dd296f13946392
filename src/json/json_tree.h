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
// stack than a shallow one.
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

inline bool has_children(const JsonTree& t) noexcept {
  if (const auto* a = std::get_if<JsonArray>(&t.node)) return !a->items.empty();
  if (const auto* o = std::get_if<JsonObject>(&t.node)) return !o->members.empty();
  return false;
}

inline bool any_has_children(const std::vector<JsonTree>& items) noexcept {
  for (const JsonTree& t : items)
    if (has_children(t)) return true;
  return false;
}
inline bool any_has_children(const std::vector<JsonMember>& members) noexcept {
  for (const JsonMember& m : members)
    if (has_children(m.value)) return true;
  return false;
}

// Moves every child that has children of its own onto pending and drops the
// rest (leaves and emptied containers, whose destruction goes no deeper).
inline void detach(std::vector<JsonTree>& items, std::vector<JsonTree>& pending) {
  for (JsonTree& t : items)
    if (has_children(t)) pending.push_back(std::move(t));
  items.clear();
}
inline void detach(std::vector<JsonMember>& members, std::vector<JsonTree>& pending) {
  for (JsonMember& m : members)
    if (has_children(m.value)) pending.push_back(std::move(m.value));
  members.clear();
}

// Empties a container's subtree level by level from a heap worklist.
template <class Children>
void release_nested(Children& children) {
  std::vector<JsonTree> pending;
  detach(children, pending);
  while (!pending.empty()) {
    JsonTree t = std::move(pending.back());
    pending.pop_back();
    if (auto* a = std::get_if<JsonArray>(&t.node)) {
      detach(a->items, pending);
    } else if (auto* o = std::get_if<JsonObject>(&t.node)) {
      detach(o->members, pending);
    }
  }
}

}  // namespace tree_detail

inline JsonArray::~JsonArray() {
  if (tree_detail::any_has_children(items)) tree_detail::release_nested(items);
}

inline JsonObject::~JsonObject() {
  if (tree_detail::any_has_children(members)) tree_detail::release_nested(members);
}

}  // namespace quorl::json
