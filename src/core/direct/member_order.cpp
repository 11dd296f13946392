// Finding an object's key order: in order already, of a known shape, or
// sorted afresh (and learnt); member_placement.h then puts the members in it.
#include <algorithm>
#include <cstring>

#include "core/direct/direct_reader.h"
#include "core/direct/member_placement.h"

namespace quorl::direct_detail {

DirectReader::Order DirectReader::sort_members(std::size_t record, std::span<const Member> members,
                                               bool skip_digest_key, bool may_reorder) {
  // Most objects are in order already: one comparison a member settles it
  // (and one or two, for most that are not), before any book is looked at.
  const auto member_key = [this](const Member& m) { return key_of(m); };
  const bool ascending = key_order::ascending_distinct(members, member_key);
  const bool has_digest =
      skip_digest_key && std::any_of(members.begin(), members.end(), is_digest_member);
  if (ascending && !has_digest) {
    siblings_.keep(depth_ + 1, members, nullptr);
    return Order::AsWritten;
  }
  if (!ascending) {
    if (const std::uint8_t* known = known_order(members)) {
      siblings_.keep(depth_ + 1, members, known);
      return place(record, members, KnownOrder{known}, skip_digest_key, may_reorder);
    }
  }
  // Members left out change the length: only a record can do that.
  return sort_afresh(record, members, ascending, skip_digest_key, may_reorder && !has_digest);
}

// Sorts members of a shape not in the books (and learns it), or leaves out
// the root's "digest" members. Out of line, so that the common case above,
// a known shape, keeps a small frame.
DirectReader::Order DirectReader::sort_afresh(std::size_t record, std::span<const Member> members,
                                              bool ascending, bool skip_digest_key,
                                              bool may_reorder) {
  using key_order::KeyRef;
  KeyRef small[key_order::kInsertionSortMax];
  if (members.size() > UINT32_MAX) return Order::Decline;
  const std::span<KeyRef> order = members.size() <= key_order::kInsertionSortMax
                                      ? std::span<KeyRef>(small, members.size())
                                      : (order_.resize(members.size()), std::span<KeyRef>(order_));
  for (std::size_t k = 0; k < members.size(); ++k) order[k] = {members[k].prefix, k};
  if (!ascending) {
    const auto ref_key = [&](const KeyRef& r) { return key_of(members[r.index]); };
    key_order::sort_by_key(order, ref_key);
    if (key_order::find_equal_neighbour(std::span<const KeyRef>(order), ref_key) != order.size())
      return Order::Decline;
    shapes_.learn(members, order, [this](const Member& m) { return key_of(m); });
  }
  return place(record, members, SortedOrder{order.data()}, skip_digest_key, may_reorder);
}

}  // namespace quorl::direct_detail
