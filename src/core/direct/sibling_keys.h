// Keys kept for following: an object whose keys are those of an object
// before it at the same depth takes that object's order without a sort or a
// lookup (see below).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "core/direct/copy_small.h"
#include "core/direct/member.h"

namespace quorl::direct_detail {

// The keys of the last objects put in order at the shallow depths below the
// root, as they lie in the text. The next object at a depth most often has
// the same keys in the same order as one before it (the records of an
// array, the user of each post of a feed): each of its keys is then told by
// comparing its bytes with the one before, with its closing quote and
// colon (equal_small), and the object takes the same order, without a
// lookup of key ends, prefixes or shapes. A depth keeps the keys of a few
// objects, in slots chosen by the first key's bytes, so that the kinds of
// object nested in one record (its user, its entities) each find their
// own. The depths of records in the documents met (a root array, or a list
// in a root object, of records with nested ones); keys of up to 45 bytes
// (nearly all keys of feeds and catalogues); members up to the long
// book's.
inline constexpr std::size_t kSiblingDepths = 8;
inline constexpr std::size_t kSiblingWays = 4;  // a power of two
inline constexpr std::size_t kSiblingSlots = kSiblingDepths * kSiblingWays;
inline constexpr std::size_t kNoSibling = kSiblingSlots;
inline constexpr std::size_t kSiblingMembers = 64;
inline constexpr std::size_t kSiblingKeyBytes = 45;
// Room a kept key must have before the text's end, so that the key, its
// quote and colon, and the first byte of its value are within the text.
inline constexpr std::size_t kSiblingCompared = 48;
static_assert(kSiblingKeyBytes + 3 <= kSiblingCompared);
// Objects of other keys in between leave the keys kept until this many
// have come without one that has them, and keys that cannot be kept (too
// long, too many) are tried again after as many: learning keys at every
// object would cost more than they save.
inline constexpr std::uint8_t kSiblingMisses = 4;

// One kept key: where it lies in the text, its size and its prefix. Those
// of all slots are handed out from one pool, in the order slots are first
// used in a read, so that a read touches only as much of it as it keeps.
struct SiblingKey {
  std::uint64_t prefix;
  std::uint32_t at;  // the key's first byte in the text (keys past 4 GiB are not kept)
  std::uint32_t size;

  // Whether the key at `kb` in p is this one, followed by its closing
  // quote and colon.
  bool same(const unsigned char* p, std::size_t kb) const noexcept {
    return equal_small(p + kb, p + at, size + 2);
  }
};

// Keys in the pool, for all slots: room for the records of a few kinds at
// a few depths, a feed's posts and users among them.
inline constexpr std::size_t kSiblingPool = 1024;

// The keys kept in one slot.
struct SiblingSlot {
  std::size_t count;                    // 0: none kept
  std::uint32_t first;                  // its keys: the pool's [first, first + room)
  std::uint32_t room;                   // 0: none handed out yet in this read
  std::uint8_t misses;                  // objects put in order since, with other keys
  bool in_order;                        // the keys ascend: the object stays as it is
  std::uint8_t order[kSiblingMembers];  // else member indexes in key order
};

// Every slot and the pool, kept between reads (in the reader's scratch). A
// slot holds keys only while its read (from 1) is the current one: their
// positions are in that read's text. The reads are kept apart from the
// slots, so that a new scratch touches no slot until it is used.
struct SiblingStore {
  SiblingSlot slots[kSiblingSlots];  // by depth from 2, then way
  std::uint64_t slot_reads[kSiblingSlots] = {};
  std::uint64_t reads = 0;
  SiblingKey pool[kSiblingPool];
};

// One read's use of the store.
class SiblingKeys {
 public:
  SiblingKeys(SiblingStore& store, const unsigned char* p, std::size_t n) noexcept
      : store_(store), p_(p), n_(n), read_(++store.reads) {}

  // The slot of the keys kept for objects at `depth` whose first key starts
  // at kb (8 bytes readable), or kNoSibling: the root, which has no
  // siblings, and below the depths that keep keys.
  std::size_t slot(std::size_t depth, std::size_t kb) const noexcept {
    if (depth - 2 >= kSiblingDepths) return kNoSibling;
    std::uint64_t word;
    std::memcpy(&word, p_ + kb, 8);
    constexpr int kWayBits = std::countr_zero(kSiblingWays);
    const std::size_t way =
        static_cast<std::size_t>((word * 0x9E3779B97F4A7C15ULL) >> (64 - kWayBits));
    return (depth - 2) * kSiblingWays + way;
  }

  // The slot's keys when it holds some from this read, else null.
  SiblingSlot* kept(std::size_t slot) noexcept {
    if (slot == kNoSibling || store_.slot_reads[slot] != read_) return nullptr;
    SiblingSlot* const kept = &store_.slots[slot];
    return kept->count != 0 ? kept : nullptr;
  }
  const SiblingKey* keys(const SiblingSlot& slot) const noexcept {
    return &store_.pool[slot.first];
  }

  // Keeps the keys of an object at `depth` just put in order (by `known`,
  // or as they are when null) for the next ones like it, when they lie in
  // the text with their colon right after them and are two or more, few
  // and short enough; after a few objects of other keys, if some are kept
  // already.
  void keep(std::size_t depth, std::span<const Member> members,
            const std::uint8_t* known) noexcept {
    if (depth - 2 >= kSiblingDepths || members.size() < 2) return;
    const Member& first = members[0];
    if (first.in_keys || n_ - first.key_offset < kSiblingCompared) return;
    const std::size_t at = slot(depth, first.key_offset);  // a slot: depth is checked
    SiblingSlot* const sibling = &store_.slots[at];
    if (store_.slot_reads[at] != read_) {
      store_.slot_reads[at] = read_;
      sibling->count = 0;
      sibling->room = 0;
      sibling->misses = kSiblingMisses - 1;
    }
    if (++sibling->misses < kSiblingMisses) return;
    sibling->count = 0;
    sibling->misses = 0;
    if (members.size() > kSiblingMembers || members.back().key_offset > UINT32_MAX) return;
    if (members.size() > sibling->room) {
      if (members.size() > kSiblingPool - pool_used_) return;  // the pool is spent for this read
      sibling->first = static_cast<std::uint32_t>(pool_used_);
      sibling->room = static_cast<std::uint32_t>(members.size());
      pool_used_ += members.size();
    }
    SiblingKey* const keys = &store_.pool[sibling->first];
    for (std::size_t k = 0; k < members.size(); ++k) {
      const Member& m = members[k];
      if (m.in_keys || m.key_size > kSiblingKeyBytes || p_[m.key_offset + m.key_size + 1] != ':')
        return;
      keys[k] = {m.prefix, static_cast<std::uint32_t>(m.key_offset),
                 static_cast<std::uint32_t>(m.key_size)};
      sibling->order[k] = known != nullptr ? known[k] : static_cast<std::uint8_t>(k);
    }
    sibling->in_order = known == nullptr;
    sibling->count = members.size();
  }

 private:
  SiblingStore& store_;
  const unsigned char* p_;
  std::size_t n_;
  std::size_t pool_used_ = 0;  // keys handed out in this read
  const std::uint64_t read_;   // this read's number
};

}  // namespace quorl::direct_detail
