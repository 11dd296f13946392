// JsonTree: the strict reader's output. Every node owns its children, strings
// and keys; a tree holds no reference into the text it was read from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "base/memory/nested_release.h"

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

using Children =
    ContainerChildren<JsonTree, JsonArray, JsonObject, &JsonTree::node, &JsonObject::members>;

[[gnu::noinline]] inline void release(Children c) {
  release_nested(c);
}

}  // namespace tree_detail

inline JsonArray::~JsonArray() {
  if (!flat && !items.empty()) tree_detail::release({this, nullptr});
}

inline JsonObject::~JsonObject() {
  if (!flat && !members.empty()) tree_detail::release({nullptr, this});
}

}  // namespace quorl::json
