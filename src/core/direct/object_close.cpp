// The close of an object, once its members are read: the common object
// (in key order already, or of a known shape, nothing inside it changed)
// is left as it is or put in order where it stands; any other is recorded
// for the emitter, with its tagged form or its members' key order.
#include <optional>

#include "core/direct/direct_reader.h"
#include "core/direct/member_placement.h"
#include "core/rules/int_payload.h"

namespace quorl::direct_detail {

// The common object: two or more members (no tag), nothing inside it that
// changes, not the root that loses "digest" members, and in order already
// or of a known shape. It is left as it is or put in order where it stands,
// and needs no record: true when so closed. Otherwise `known` is the order
// found for it, if any. (The general close would do the same, after the
// checks for tags and records.)
[[gnu::always_inline]] inline bool DirectReader::close_common(const OpenObject& o, bool is_root,
                                                              const std::uint8_t*& known) {
  const std::size_t count = members_.size() - o.members_base;
  if (count < 2 || changed_ != o.changes_before || !may_move(o) || o.first_value.suppressed_tag ||
      (is_root && skip_digest_key_) || raw_pos() - o.open > kReorderInPlaceMaxBytes)
    return false;
  const std::span<const Member> members(members_.data() + o.members_base, count);
  bool in_order;
  if (o.followed != nullptr) {
    in_order = o.followed->in_order;
    known = in_order ? nullptr : o.followed->order;
  } else {
    const auto member_key = [this](const Member& m) { return key_of(m); };
    in_order = key_order::ascending_distinct(members, member_key);
    known = in_order ? nullptr : known_order(members);
    if (in_order || known != nullptr) siblings_.keep(depth_ + 1, members, known);
  }
  if (!in_order && (known == nullptr || text_stays_uncopied())) return false;
  if (known != nullptr) {
    place(o.record, members, KnownOrder{known}, false, true);
    count_reordered(o);
  }
  objects_.pop_back();
  members_.shrink_to(o.members_base);
  keys_.resize(o.keys_base);
  return true;
}

// The key order of an object that is not a tagged form, and not closed as
// the common one. An object with one reordered in place inside it is put in
// order in place too only within the budget of may_move, and recorded
// beyond it, which keeps the cost linear whatever the nesting. (A root
// object that loses "digest" members is recorded: see sort_members.)
inline DirectReader::Order DirectReader::order_of(const OpenObject& o,
                                                  std::span<const Member> members,
                                                  bool skip_digest_key, const std::uint8_t* known) {
  const bool may_reorder = changed_ == o.changes_before && may_move(o) &&
                           raw_pos() - o.open <= kReorderInPlaceMaxBytes && !text_stays_uncopied();
  if (o.followed != nullptr && !skip_digest_key) {
    if (o.followed->in_order) return Order::AsWritten;
    return place(o.record, members, KnownOrder{o.followed->order}, false, may_reorder);
  }
  if (known != nullptr) {
    // Of a known shape, kept uncopied (text_stays_uncopied): recorded
    // without looking its order up again.
    return place(o.record, members, KnownOrder{known}, false, may_reorder);
  }
  return sort_members(o.record, members, skip_digest_key, may_reorder);
}

// Out of line, so that the frame of the recursive reading stays small (a
// 64 KiB thread stack must hold 128 levels).
bool DirectReader::close_object(bool tags_on, Parsed& parsed, std::size_t open, std::size_t record,
                                std::size_t changes_before, std::size_t reordered_before,
                                std::size_t members_base, std::size_t keys_base, Parsed first_value,
                                SiblingSlot* followed) {
  const OpenObject o{open,         record,    changes_before, reordered_before,
                     members_base, keys_base, first_value,    followed};
  const bool is_root = depth_ == 1 && o.open == 0;
  --depth_;
  if (o.followed != nullptr) o.followed->misses = 0;  // its keys came again
  const std::uint8_t* known = nullptr;
  if (close_common(o, is_root, known)) return true;
  // Every offset and index recorded from here on is at most the raw size.
  if (raw_pos() > UINT32_MAX) return false;
  const std::size_t count = members_.size() - o.members_base;
  const Member* const first = members_.data() + o.members_base;  // count of them
  ObjectRecord& rec = objects_[o.record];
  rec.begin = static_cast<Offset>(o.open);
  rec.end = static_cast<Offset>(raw_pos());
  rec.next = static_cast<Offset>(objects_.size());
  bool kept = true;
  // The test-vector key is ordinary here, as it is through the gate.
  const Tag tag = count == 1 ? tag_of(key_of(*first), false) : Tag::None;
  if (tag != Tag::None && tags_on) {
    if (skip_digest_key_ && is_root) return false;  // a tagged root: rare, exact path
    flush(i_);                                      // the payload is read from the raw text
    if (!tagged(tag, rec, *first, o.first_value)) return false;
  } else {
    if (tag != Tag::None) parsed.suppressed_tag = true;
    // "$obj" with company is an ordinary member, and its object value
    // should have been read with tags on after all.
    if (count > 1 && o.first_value.suppressed_tag && key_of(*first) == "$obj") return false;
    const std::span<const Member> members(first, count);
    const Order order = order_of(o, members, is_root && skip_digest_key_, known);
    if (order == Order::Decline) return false;
    if (order == Order::Reordered) count_reordered(o);
    if (order == Order::AsWritten || order == Order::Reordered) {
      if (changed_ == o.changes_before) {
        objects_.pop_back();  // nothing here or below changes: no record
        kept = false;
      } else {
        rec.kind = ObjectRecord::Kind::Span;
      }
    }
  }
  if (kept) ++changed_;
  members_.shrink_to(o.members_base);
  keys_.resize(o.keys_base);  // no member that refers to these keys is left
  return true;
}

// Records the value a one-member tagged object stands for.
bool DirectReader::tagged(Tag tag, ObjectRecord& rec, const Member& m, Parsed payload) {
  if (m.in_keys) return false;                               // an escaped tag key: rare, exact path
  const std::size_t value_begin = m.begin + m.key_size + 3;  // "key":
  const std::size_t value_end = m.end;
  // The emitted form replaces the wrapper's whole raw span.
  const auto replace_with = [&](std::size_t emitted) {
    size_change_ +=
        static_cast<std::ptrdiff_t>(emitted) - static_cast<std::ptrdiff_t>(rec.end - rec.begin);
  };
  const auto lift = [&] {
    replace_with(value_end - value_begin);
    rec.kind = ObjectRecord::Kind::Lift;
    rec.payload = {static_cast<Offset>(value_begin), static_cast<Offset>(value_end),
                   static_cast<Offset>(m.records_first), static_cast<Offset>(m.records_end)};
    return true;
  };
  switch (tag) {
    case Tag::Int: {
      if (payload.raw != Raw::String) return false;
      // Digits and '-' are never escaped, so the canonical string holds the
      // payload's own bytes between its quotes.
      const std::optional<IntPayload> value =
          read_int_payload(std::string_view(base_ + value_begin + 1, value_end - value_begin - 2));
      if (!value) return false;
      if (value->digits.empty()) {
        replace_with(1);
        rec.kind = ObjectRecord::Kind::Zero;  // zero has no sign
      } else {
        replace_with((value->negative ? 1 : 0) + value->digits.size());
        rec.kind = ObjectRecord::Kind::Int;
        rec.negative = value->negative;
        const auto digits = static_cast<Offset>(value->digits.data() - base_);
        rec.digits = {digits, static_cast<Offset>(digits + value->digits.size())};
      }
      return true;
    }
    case Tag::Str:
      return payload.raw == Raw::String && lift();
    case Tag::Arr:
      return payload.raw == Raw::Array && lift();
    case Tag::Obj:
      return payload.raw == Raw::Object && lift();
    case Tag::Bool:
      return (payload.raw == Raw::True || payload.raw == Raw::False) && lift();
    case Tag::Null:
      if (payload.raw != Raw::True) return false;
      replace_with(4);
      rec.kind = ObjectRecord::Kind::Null;
      return true;
    default:
      // The markers ($nan, $inf, $float): their canonical form is a
      // refusal, so the exact path decides.
      return false;
  }
}

}  // namespace quorl::direct_detail
