// The direct reader's working storage, kept by a DirectText between reads
// so that a read of a small record allocates nothing: the open objects'
// members, decoded keys, sort orders, the shape books and the kept keys.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "base/key_order.h"
#include "base/memory/growable_array.h"
#include "core/direct/member.h"
#include "core/direct/shape_book.h"
#include "core/direct/sibling_keys.h"
#include "json/lex/special_index.h"

namespace quorl::direct_detail {

struct ReaderScratch {
  ShapeBooks shapes;
  GrowableArray<Member> members;         // a stack: each open object's members on top
  std::string keys;                      // decoded keys that had escapes
  std::string encoded_key;               // such a key in canonical form
  std::vector<key_order::KeyRef> order;  // the sort order of the object being closed
  std::string reorder_copy;              // the members of the object reordered in place
  json::SpecialIndex specials;           // where the text's strings end
  SiblingStore siblings;

  void clear() noexcept {
    members.clear();
    keys.clear();
    encoded_key.clear();
    order.clear();
    reorder_copy.clear();
  }
  std::size_t held_bytes() const noexcept {
    return sizeof(ReaderScratch) + members.capacity() * sizeof(Member) + keys.capacity() +
           encoded_key.capacity() + order.capacity() * sizeof(key_order::KeyRef) +
           reorder_copy.capacity() + shapes.held_bytes();
  }
};

}  // namespace quorl::direct_detail
