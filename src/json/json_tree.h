// JsonTree: the strict reader's output. Every node owns its children, strings
// and keys; a tree holds no reference into the text it was read from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
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

struct JsonArray {
  std::vector<JsonTree> items;  // in text order
};

// Keys are unique and members stand in ascending unsigned byte order of the
// key; a later duplicate in the text has already replaced the earlier value.
struct JsonObject {
  std::vector<JsonMember> members;
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

}  // namespace quorl::json
