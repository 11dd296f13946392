#include "core/decoder.h"

#include <cmath>

#include "core/encoder.h"

namespace quorl {

namespace {

using json::JsonArray;
using json::JsonBool;
using json::JsonMember;
using json::JsonNull;
using json::JsonNumber;
using json::JsonObject;
using json::JsonString;
using json::JsonTree;
using json::NumberKind;

// A refusal of the node (or tag object) that starts at offset in the text.
QuorlError error(std::string_view message, std::size_t offset) {
  return QuorlError{std::string(message), offset};
}

Result<QuorlValue> decode_number(const JsonNumber& n, std::size_t offset) {
  switch (n.kind) {
    case NumberKind::PosInt:
      if (n.pos_int <= static_cast<std::uint64_t>(kMaxExactInteger))
        return QuorlValue(Int(static_cast<std::int64_t>(n.pos_int)));
      return fail(error(msg::kBareInteger, offset));
    case NumberKind::NegInt:
      if (n.neg_int >= -kMaxExactInteger) return QuorlValue(Int(n.neg_int));
      return fail(error(msg::kBareInteger, offset));
    case NumberKind::Double: {
      // An integral double beyond the exact range names an integer the
      // author should have tagged; any other double is a float.
      double x = n.dbl;
      if (std::fabs(x) > static_cast<double>(kMaxExactInteger) && x == std::trunc(x))
        return fail(error(msg::kBareInteger, offset));
      return QuorlValue(Float{offset});
    }
  }
  return QuorlValue(Float{offset});  // unreachable: every kind is handled
}

// at: the offset of the tag object, where its faults are located.
Result<QuorlValue> decode_tagged(Tag tag, const JsonTree& payload, std::size_t depth,
                                 bool allow_test_vectors, std::size_t at) {
  switch (tag) {
    case Tag::Int: {
      Result<QuorlValue> r = parse_int_payload(payload);
      if (!r.ok()) r.error().offset = at;
      return r;
    }
    case Tag::Nan:
      return QuorlValue(NaN{at});
    case Tag::Inf:
      return QuorlValue(Infinity{at});
    case Tag::Float:
      return QuorlValue(Float{at});
    case Tag::LoneSurrogate:
      return QuorlValue(LoneSurrogate{at});
    case Tag::Str:
      if (const auto* s = std::get_if<JsonString>(&payload.node)) return QuorlValue(Str{s->value});
      return fail(error(msg::kStrPayload, at));
    case Tag::Obj:
      // The wrapper and its payload are one level: same depth.
      if (const auto* o = std::get_if<JsonObject>(&payload.node))
        return decode_entries(o->members, depth, allow_test_vectors, at);
      return fail(error(msg::kObjPayload, at));
    case Tag::Arr:
      if (const auto* a = std::get_if<JsonArray>(&payload.node))
        return decode_items(a->items, depth, allow_test_vectors, at);
      return fail(error(msg::kArrPayload, at));
    case Tag::Bool:
      if (const auto* b = std::get_if<JsonBool>(&payload.node)) return QuorlValue(Bool{b->value});
      return fail(error(msg::kBoolPayload, at));
    case Tag::Null:
      if (const auto* b = std::get_if<JsonBool>(&payload.node); b != nullptr && b->value)
        return QuorlValue(Null{});
      return fail(error(msg::kNullPayload, at));
    case Tag::None:
      break;
  }
  return fail(error(msg::kObjPayload, at));  // unreachable: callers never pass Tag::None
}

}  // namespace

Result<QuorlValue> decode(const JsonTree& node, std::size_t depth, bool allow_test_vectors) {
  switch (node.node.index()) {
    case 0:
      return QuorlValue(Null{});
    case 1:
      return QuorlValue(Bool{std::get<JsonBool>(node.node).value});
    case 2:
      return decode_number(std::get<JsonNumber>(node.node), node.offset);
    case 3:
      return QuorlValue(Str{std::get<JsonString>(node.node).value});
    case 4:
      return decode_items(std::get<JsonArray>(node.node).items, depth, allow_test_vectors,
                          node.offset);
    default: {
      const auto& members = std::get<JsonObject>(node.node).members;
      if (members.size() == 1) {
        Tag tag = tag_of(members[0].key, allow_test_vectors);
        if (tag != Tag::None)
          return decode_tagged(tag, members[0].value, depth, allow_test_vectors, node.offset);
      }
      return decode_entries(members, depth, allow_test_vectors, node.offset);
    }
  }
}

Result<QuorlValue> decode_items(std::span<const JsonTree> items, std::size_t depth,
                                bool allow_test_vectors, std::size_t at) {
  if (depth >= kMaxDepth) [[unlikely]]
    return fail(error(msg::kDepth, at));
  Array array;
  array.items.reserve(items.size());
  for (const JsonTree& item : items) {
    Result<QuorlValue> r = decode(item, depth + 1, allow_test_vectors);
    if (!r.ok()) [[unlikely]]
      return fail(std::move(r).error());
    array.items.push_back(std::move(r).value());
  }
  return QuorlValue(std::move(array));
}

Result<QuorlValue> decode_entries(std::span<const JsonMember> members, std::size_t depth,
                                  bool allow_test_vectors, std::size_t at) {
  if (depth >= kMaxDepth) [[unlikely]]
    return fail(error(msg::kDepth, at));
  Object object;
  object.entries.reserve(members.size());
  for (const JsonMember& m : members) {
    Result<QuorlValue> r = decode(m.value, depth + 1, allow_test_vectors);
    if (!r.ok()) [[unlikely]]
      return fail(std::move(r).error());
    object.entries.push_back(QuorlEntry{m.key, std::move(r).value()});
  }
  return QuorlValue(std::move(object));
}

Result<QuorlValue> parse_int_payload(const JsonTree& payload) {
  const auto* s = std::get_if<JsonString>(&payload.node);
  Int value;
  if (s == nullptr || !Int::from_decimal(s->value, &value))
    return fail(error(msg::kIntPayload, payload.offset));
  return QuorlValue(std::move(value));
}

}  // namespace quorl
