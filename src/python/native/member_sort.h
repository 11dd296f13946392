// A dict's members put in canonical key order (by the UTF-8 bytes of their
// keys) before any value is written.
#pragma once

#include <span>
#include <string_view>

#include "native/walk_scratch.h"

namespace quorl::native {

// A lambda rather than a function: the sort calls it directly, not through a pointer.
inline constexpr auto key_of = [](const WalkMember& m) noexcept {
  return std::string_view(m.key, m.size);
};

// Sorts members by key, equal keys kept in their order; scratch lends the
// working memory for a large dict.
void sort_members(WalkScratch& scratch, std::span<WalkMember> members);

}  // namespace quorl::native
