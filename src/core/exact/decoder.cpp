#include "core/exact/decoder.h"

#include <cmath>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/exact/encoder.h"

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
QuorlError error(Message message, std::size_t offset) {
  return QuorlError{std::string(message.text), offset, 0, 0, message.code};
}

// A bare number into slot; false (slot untouched) when it is an integer
// beyond the exact range.
bool place_number(const JsonNumber& n, std::size_t offset, QuorlValue& slot) {
  switch (n.kind) {
    case NumberKind::PosInt:
      if (n.pos_int > static_cast<std::uint64_t>(kMaxExactInteger)) return false;
      slot.v.emplace<Int>(static_cast<std::int64_t>(n.pos_int));
      return true;
    case NumberKind::NegInt:
      if (n.neg_int < -kMaxExactInteger) return false;
      slot.v.emplace<Int>(n.neg_int);
      return true;
    case NumberKind::Double: {
      // An integral double beyond the exact range names an integer the
      // author should have tagged; any other double is a float.
      double x = n.dbl;
      if (std::fabs(x) > static_cast<double>(kMaxExactInteger) && x == std::trunc(x)) return false;
      break;
    }
  }
  slot.v.emplace<Float>(Float{offset});
  return true;
}

// The decoding walk. Containers are decoded without recursion: open_ holds
// the containers being filled, innermost last. Each output container is
// reserved to its final size before any child goes in, so the vectors the
// stack points into never move while the walk runs. With kTake the walk
// consumes the tree: its strings and keys are moved, not copied.
template <bool kTake>
class Walk {
  template <class T>
  using Source = std::conditional_t<kTake, T, const T>;
  using Tree = Source<JsonTree>;
  using Member = Source<JsonMember>;

 public:
  explicit Walk(bool allow_test_vectors) noexcept : allow_test_vectors_(allow_test_vectors) {}

  // Decodes node, at depth, into slot; true when the whole subtree decoded.
  bool run(Tree& node, std::size_t depth, QuorlValue& slot) {
    return place(node, depth, slot) && finish();
  }
  bool run_items(std::span<Tree> items, std::size_t depth, std::size_t at, QuorlValue& slot) {
    return open_items(items, depth, at, slot) && finish();
  }
  bool run_entries(std::span<Member> members, std::size_t depth, std::size_t at, QuorlValue& slot) {
    return open_entries(members, depth, at, slot) && finish();
  }

  QuorlError take_error() && { return std::move(error_); }

 private:
  // A container being filled: its source children, the next one to decode,
  // and the depth of its children. Exactly one of items/members is set, and
  // the matching output vector, with its container's flat flag.
  struct Open {
    Tree* items;
    Member* members;
    std::size_t count;
    std::size_t next;
    std::size_t depth;
    std::vector<QuorlValue>* out_items;
    std::vector<QuorlEntry>* out_entries;
    bool* out_flat;
  };

  // A container with children is being placed in the innermost open one.
  void nest_in_parent() noexcept {
    if (!open_.empty()) *open_.back().out_flat = false;
  }

  static std::string text(Source<std::string>& s) {
    if constexpr (kTake) {
      return std::move(s);
    } else {
      return s;
    }
  }

  bool refuse(Message message, std::size_t offset) {
    error_ = error(message, offset);
    return false;
  }

  // Decodes the children of the open containers, innermost first.
  bool finish() {
    while (!open_.empty()) {
      Open& top = open_.back();
      if (top.next == top.count) {
        open_.pop_back();
        continue;
      }
      const std::size_t k = top.next++;
      const std::size_t depth = top.depth;
      // place may push onto open_: top is not used after it.
      if (top.items != nullptr) {
        if (!place(top.items[k], depth, top.out_items->emplace_back())) return false;
      } else {
        Member& m = top.members[k];
        QuorlEntry& entry = top.out_entries->emplace_back(QuorlEntry{text(m.key), {}});
        if (!place(m.value, depth, entry.value)) return false;
      }
    }
    return true;
  }

  // A container's refusal is located at `at`; its children are left on open_.
  bool open_items(std::span<Tree> items, std::size_t depth, std::size_t at, QuorlValue& slot) {
    if (depth >= kMaxDepth) [[unlikely]]
      return refuse(msg::kDepth, at);
    auto& array = slot.v.emplace<Array>();
    array.flat = true;
    if (items.empty()) return true;
    nest_in_parent();
    array.items.reserve(items.size());
    open_.push_back(Open{items.data(), nullptr, items.size(), 0, depth + 1, &array.items, nullptr,
                         &array.flat});
    return true;
  }
  bool open_entries(std::span<Member> members, std::size_t depth, std::size_t at,
                    QuorlValue& slot) {
    if (depth >= kMaxDepth) [[unlikely]]
      return refuse(msg::kDepth, at);
    auto& object = slot.v.emplace<Object>();
    object.flat = true;
    if (members.empty()) return true;
    nest_in_parent();
    object.entries.reserve(members.size());
    open_.push_back(Open{nullptr, members.data(), members.size(), 0, depth + 1, nullptr,
                         &object.entries, &object.flat});
    return true;
  }

  // A scalar is decoded into slot at once; a container is opened.
  bool place(Tree& node, std::size_t depth, QuorlValue& slot) {
    switch (node.node.index()) {
      case 0:
        slot.v.emplace<Null>(Null{});
        return true;
      case 1:
        slot.v.emplace<Bool>(Bool{std::get<JsonBool>(node.node).value});
        return true;
      case 2:
        if (!place_number(std::get<JsonNumber>(node.node), node.offset, slot)) [[unlikely]]
          return refuse(msg::kBareInteger, node.offset);
        return true;
      case 3:
        slot.v.emplace<Str>().text = text(std::get<JsonString>(node.node).value);
        return true;
      case 4: {
        auto& a = std::get<JsonArray>(node.node);
        return open_items(a.items, depth, node.offset, slot);
      }
      default: {
        auto& o = std::get<JsonObject>(node.node);
        if (o.members.size() == 1) {
          Tag tag = tag_of(o.members[0].key, allow_test_vectors_);
          if (tag != Tag::None)
            return place_tagged(tag, o.members[0].value, depth, node.offset, slot);
        }
        return open_entries(o.members, depth, node.offset, slot);
      }
    }
  }

  // at: the offset of the tag object, where its faults are located.
  bool place_tagged(Tag tag, Tree& payload, std::size_t depth, std::size_t at, QuorlValue& slot) {
    switch (tag) {
      case Tag::Int: {
        Result<QuorlValue> r = parse_int_payload(payload);
        if (!r.ok()) r.error().offset = at;
        return set(slot, std::move(r));
      }
      case Tag::Nan:
        slot.v.emplace<NaN>(NaN{at});
        return true;
      case Tag::Inf:
        slot.v.emplace<Infinity>(Infinity{at});
        return true;
      case Tag::Float:
        slot.v.emplace<Float>(Float{at});
        return true;
      case Tag::LoneSurrogate:
        slot.v.emplace<LoneSurrogate>(LoneSurrogate{at});
        return true;
      case Tag::Str:
        if (auto* s = std::get_if<JsonString>(&payload.node)) {
          slot.v.emplace<Str>().text = text(s->value);
          return true;
        }
        return refuse(msg::kStrPayload, at);
      case Tag::Obj:
        // The wrapper and its payload are one level: same depth.
        if (auto* o = std::get_if<JsonObject>(&payload.node))
          return open_entries(o->members, depth, at, slot);
        return refuse(msg::kObjPayload, at);
      case Tag::Arr:
        if (auto* a = std::get_if<JsonArray>(&payload.node))
          return open_items(a->items, depth, at, slot);
        return refuse(msg::kArrPayload, at);
      case Tag::Bool:
        if (const auto* b = std::get_if<JsonBool>(&payload.node)) {
          slot.v.emplace<Bool>(Bool{b->value});
          return true;
        }
        return refuse(msg::kBoolPayload, at);
      case Tag::Null:
        if (const auto* b = std::get_if<JsonBool>(&payload.node); b != nullptr && b->value) {
          slot.v.emplace<Null>(Null{});
          return true;
        }
        return refuse(msg::kNullPayload, at);
      case Tag::None:
        break;
    }
    return refuse(msg::kObjPayload, at);  // unreachable: callers never pass Tag::None
  }

  bool set(QuorlValue& slot, Result<QuorlValue>&& r) {
    if (!r.ok()) [[unlikely]] {
      error_ = std::move(r).error();
      return false;
    }
    slot = std::move(r).value();
    return true;
  }

  bool allow_test_vectors_;
  std::vector<Open> open_;
  QuorlError error_;
};

template <bool kTake, class Start>
Result<QuorlValue> walk(bool allow_test_vectors, Start start) {
  QuorlValue value;
  Walk<kTake> w(allow_test_vectors);
  if (!start(w, value)) [[unlikely]]
    return fail(std::move(w).take_error());
  return value;
}

}  // namespace

Result<QuorlValue> decode(const JsonTree& node, std::size_t depth, bool allow_test_vectors) {
  return walk<false>(allow_test_vectors,
                     [&](Walk<false>& w, QuorlValue& v) { return w.run(node, depth, v); });
}

Result<QuorlValue> decode(JsonTree&& node, std::size_t depth, bool allow_test_vectors) {
  return walk<true>(allow_test_vectors,
                    [&](Walk<true>& w, QuorlValue& v) { return w.run(node, depth, v); });
}

Result<QuorlValue> decode_items(std::span<const JsonTree> items, std::size_t depth,
                                bool allow_test_vectors, std::size_t at) {
  return walk<false>(allow_test_vectors, [&](Walk<false>& w, QuorlValue& v) {
    return w.run_items(items, depth, at, v);
  });
}

Result<QuorlValue> decode_entries(std::span<const JsonMember> members, std::size_t depth,
                                  bool allow_test_vectors, std::size_t at) {
  return walk<false>(allow_test_vectors, [&](Walk<false>& w, QuorlValue& v) {
    return w.run_entries(members, depth, at, v);
  });
}

Result<QuorlValue> parse_int_payload(const JsonTree& payload) {
  const auto* s = std::get_if<JsonString>(&payload.node);
  Int value;
  if (s == nullptr || !Int::from_decimal(s->value, &value))
    return fail(error(msg::kIntPayload, payload.offset));
  return QuorlValue(std::move(value));
}

}  // namespace quorl
