// Putting an object's members in a key order: in place in the raw text, or
// recorded for the emitter (leaving out the root's "digest" members).
// Defined here for the two files that place members (object_close.cpp and
// member_order.cpp), so that each inlines the placing into its close.
#pragma once

#include <cstring>
#include <span>

#include "core/direct/direct_reader.h"

namespace quorl::direct_detail {

// Writes `m0,m1,...` at w in the given order, each member's bytes taken
// from source_at(its raw begin); returns the end.
template <class IndexAt, class SourceAt>
inline char* write_in_order(char* w, std::span<const Member> members, IndexAt index_at,
                            SourceAt source_at) {
  for (std::size_t k = 0; k < members.size(); ++k) {
    if (k != 0) *w++ = ',';
    const Member& m = members[index_at(k)];
    copy_small(w, source_at(m.begin), m.end - m.begin);
    w += m.end - m.begin;
  }
  return w;
}

// Puts the members in key order, index_at(k) being the index of the k-th:
// in the raw text itself, or as a record for the emitter (leaving out
// root "digest" members).
template <class IndexAt>
inline DirectReader::Order DirectReader::place(std::size_t record, std::span<const Member> members,
                                               IndexAt index_at, bool skip_digest_key,
                                               bool may_reorder) {
  if (may_reorder) {
    if (members.front().begin >= written()) {
      copy_in_order(members, index_at);
    } else {
      flush(i_);
      reorder_in_place(members, index_at);
    }
    return Order::Reordered;
  }
  ObjectRecord& rec = objects_[record];
  rec.kind = ObjectRecord::Kind::Sorted;
  rec.members.first = static_cast<Offset>(sorted_.size());
  for (std::size_t k = 0; k < members.size(); ++k) {
    const Member& m = members[index_at(k)];
    if (skip_digest_key && is_digest_member(m)) {
      dropped_members_ = true;
      continue;
    }
    sorted_.push_back({static_cast<Offset>(m.begin), static_cast<Offset>(m.end),
                       static_cast<Offset>(m.records_first), static_cast<Offset>(m.records_end)});
  }
  rec.members.last = static_cast<Offset>(sorted_.size());
  return Order::Recorded;
}

// The members' text, not yet copied through and the same as their raw
// text, is copied in the given order straight from the text: one copy
// and no copy back. The length does not change, nor does the offset.
template <class IndexAt>
inline void DirectReader::copy_in_order(std::span<const Member> members, IndexAt index_at) {
  const auto text_at = [this](std::size_t raw) {
    return p_ + (raw - static_cast<std::size_t>(offset_));
  };
  flush(static_cast<std::size_t>(text_at(members.front().begin) - p_));
  constexpr std::size_t kBlock = 16;
  need(members.back().end - members.front().begin + kBlock);
  if (p_ + n_ - text_at(members.back().end) < static_cast<std::ptrdiff_t>(kBlock)) {
    w_ = write_in_order(w_, members, index_at, text_at);
    return;
  }
  // Whole blocks, with room to read past the last member and to write past
  // the end: what a block writes past a member is overwritten by what
  // follows it.
  char* w = w_;
  for (std::size_t k = 0; k < members.size(); ++k) {
    if (k != 0) *w++ = ',';
    const Member& m = members[index_at(k)];
    const unsigned char* from = text_at(m.begin);
    const std::size_t size = m.end - m.begin;
    for (std::size_t b = 0; b < size; b += kBlock) std::memcpy(w + b, from + b, kBlock);
    w += size;
  }
  w_ = w;
}

// Rewrites the members' raw text, `m0,m1,...`, in the given order. The
// length does not change. A small object goes through a stack buffer.
template <class IndexAt>
inline void DirectReader::reorder_in_place(std::span<const Member> members, IndexAt index_at) {
  constexpr std::size_t kStackCopy = 512;
  const std::size_t from = members.front().begin;
  const std::size_t to = members.back().end;
  char stack_copy[kStackCopy];
  const char* copy;
  if (to - from <= kStackCopy) {
    std::memcpy(stack_copy, base_ + from, to - from);
    copy = stack_copy;
  } else {
    reorder_copy_.assign(base_ + from, to - from);
    copy = reorder_copy_.data();
  }
  write_in_order(base_ + from, members, index_at,
                 [copy, from](std::size_t raw) { return copy + (raw - from); });
}

}  // namespace quorl::direct_detail
