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
// tree_detail::release below), so that destroying a deep tree needs no more C
// stack than a shallow one. Copying stays recursive; only tables of test
// trees copy.
struct JsonArray {
  std::vector<JsonTree> items;  // in text order
  // Known to hold no container with children: set by the reader, and lets
  // destruction skip looking for subtrees. False (unknown) is always safe.
  bool flat = false;

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
  bool flat = false;  // as JsonArray::flat

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

// A container that has children: exactly one of the two is set.
struct Children {
  JsonArray* array = nullptr;
  JsonObject* object = nullptr;
};

inline bool children_of(JsonTree& t, Children& out) noexcept {
  if (auto* a = std::get_if<JsonArray>(&t.node); a != nullptr && !a->items.empty()) {
    out = {a, nullptr};
    return true;
  }
  if (auto* o = std::get_if<JsonObject>(&t.node); o != nullptr && !o->members.empty()) {
    out = {nullptr, o};
    return true;
  }
  return false;
}

// Takes apart the subtrees below c, whose elements are destroyed from the
// back: one that holds containers is descended into first, c kept on a heap
// stack meanwhile; a flat one has its children cleared at once. No
// destructor then goes more than one level down.
[[gnu::noinline]] inline void release(Children c) {
  std::vector<Children> open;
  for (;;) {
    JsonTree* last = nullptr;
    if (c.array != nullptr && !c.array->items.empty()) {
      last = &c.array->items.back();
    } else if (c.object != nullptr && !c.object->members.empty()) {
      last = &c.object->members.back().value;
    }
    if (last == nullptr) {
      if (open.empty()) return;
      c = open.back();
      open.pop_back();
      continue;
    }
    if (Children below; children_of(*last, below)) {
      if (below.array != nullptr && below.array->flat) {
        below.array->items.clear();
      } else if (below.object != nullptr && below.object->flat) {
        below.object->members.clear();
      } else {
        open.push_back(c);
        c = below;
        continue;
      }
    }
    if (c.array != nullptr) {
      c.array->items.pop_back();
    } else {
      c.object->members.pop_back();
    }
  }
}

}  // namespace tree_detail

inline JsonArray::~JsonArray() {
  if (!flat && !items.empty()) tree_detail::release({this, nullptr});
}

inline JsonObject::~JsonObject() {
  if (!flat && !members.empty()) tree_detail::release({nullptr, this});
}

}  // namespace quorl::json
