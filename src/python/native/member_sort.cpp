#include "native/member_sort.h"

#include <cstddef>
#include <vector>

#include "base/key_order.h"

namespace quorl::native {

namespace {

// The members of a dict of up to this many are sorted in place by insertion.
constexpr std::size_t kInsertionSortMembers = 24;

}  // namespace

// A small dict's members are sorted in place. A larger one's through
// references (prefix, position), which the library sort keeps stable
// without a buffer of its own, its members then moved into that order.
void sort_members(WalkScratch& scratch, std::span<WalkMember> members) {
  if (members.size() <= kInsertionSortMembers) {
    key_order::sort_by_key<kInsertionSortMembers>(members, key_of);
    return;
  }
  std::vector<key_order::KeyRef>& order = scratch.order;
  order.resize(members.size());
  for (std::size_t k = 0; k < members.size(); ++k) order[k] = {members[k].prefix, k};
  key_order::sort_by_key(
      std::span<key_order::KeyRef>(order),
      [&members](const key_order::KeyRef& r) { return key_of(members[r.index]); });
  scratch.reorder.assign(members.begin(), members.end());
  for (std::size_t k = 0; k < members.size(); ++k) members[k] = scratch.reorder[order[k].index];
}

}  // namespace quorl::native
