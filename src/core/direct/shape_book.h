// The key orders of the object shapes a thread has met (see ShapeBook), so
// that an object of a known shape is put in order without being sorted
// again, within a read and across reads.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <type_traits>

#include "base/key_order.h"
#include "core/direct/copy_small.h"
#include "core/direct/member.h"

namespace quorl::direct_detail {

// Objects of one shape (the same keys in the same order) come again and
// again: the records of an array, the lines of a file. The key order of
// the last few shapes that needed sorting is kept, so that an object of a
// known shape is put in order without being sorted again, within a read and
// across reads. A key is known by its prefix and size and, past eight
// bytes, by the rest of its bytes, kept in `tails`; only unescaped keys take
// part, so that the bytes compared are those of the text.
//
// Two books: small records of short keys (coordinates, table rows) are
// checked against small entries that stay within a few cache lines; records
// with long keys or many members (user profiles, events, feed items) come
// in more shapes at once and cost more to sort, so their book is larger.
//
// A shape may sit in any of the Ways slots of its set, and a new one takes
// the slot met least lately: a document's shapes seldom take turns in one
// slot, as they did when each shape had one slot (a feed of posts and their
// users sorted a quarter of its objects afresh). The long book holds the
// shapes of a feed or an event log (some twenty to forty) across calls.
template <std::size_t Members, std::size_t TailBytes, std::size_t Sets, std::size_t Ways>
struct ShapeBook {
  static_assert(Sets >= 2 && (Sets & (Sets - 1)) == 0, "a power of two, for the hash's top bits");
  static constexpr std::size_t kMaxMembers = Members;
  static constexpr std::size_t kMaxKeyBytes = TailBytes == 0 ? 8 : 255;  // a size fits its byte
  static constexpr std::size_t kTailBytes = TailBytes;
  static constexpr std::size_t kWays = Ways;
  static constexpr std::size_t kSlots = Sets * Ways;
  struct Shape {
    std::uint64_t prefix[Members];
    std::uint8_t size[Members];
    std::uint8_t order[Members];        // member indexes in key order
    std::array<char, TailBytes> tails;  // each long key's bytes from the ninth, in member order
  };
  // Each slot's members (0 for an empty slot), first key's prefix and when
  // it was last met, kept apart from the shapes, so that the ways of a set
  // are told apart within a cache line or two.
  std::uint32_t counts[kSlots] = {};
  std::uint32_t met[kSlots] = {};
  std::uint64_t firsts[kSlots] = {};
  std::uint32_t clock = 0;  // wrapping only makes a worse choice of slot

  // A short book, a few cache lines in all, keeps each slot's shape in its
  // own place. The long book packs its shapes one after another, each in
  // the bytes its members need (prefixes, sizes, order, key tails), in
  // pages made as they are needed, so that it holds memory (and touches
  // it) only for the shapes a thread has met: a document of a few shapes
  // costs a page or two (a place fit for the largest shape would take
  // 1.6 KB each).
  static constexpr bool kPacked = TailBytes != 0;
  struct InPlace {
    Shape shapes[kSlots];
    const Shape& of(std::size_t slot) const noexcept { return shapes[slot]; }
    std::size_t held_bytes() const noexcept { return 0; }
  };
  // Where a shape's parts lie: in its place, or packed.
  struct ShapeParts {
    std::uint64_t* prefix;
    std::uint8_t* size;
    std::uint8_t* order;
    char* tails;
  };
  struct Packed {
    static constexpr std::size_t kPageWords = 512;  // 4 KiB
    static constexpr std::size_t kPages = 16;
    static constexpr std::size_t kMaxShapeWords = (Members * 10 + TailBytes + 7) / 8;
    static_assert(kMaxShapeWords <= kPageWords, "a shape fits a page");
    // 1 + the first word of each slot's shape, 0 for none; the words it may
    // take, so that a shape of no more words takes its place again.
    std::uint32_t places[kSlots] = {};
    std::uint16_t rooms[kSlots] = {};
    std::size_t used = 0;  // words handed out, in pages of kPageWords
    std::unique_ptr<std::uint64_t[]> pages[kPages];

    static ShapeParts parts(std::uint64_t* at, std::size_t count) noexcept {
      auto* const bytes = reinterpret_cast<std::uint8_t*>(at + count);
      return {at, bytes, bytes + count, reinterpret_cast<char*>(bytes + 2 * count)};
    }
    std::uint64_t* word(std::size_t at) const noexcept {
      return pages[at / kPageWords].get() + at % kPageWords;
    }
    // Words for a shape in slot, or null when the pages are spent or no
    // memory is to be had.
    std::uint64_t* take(std::size_t slot, std::size_t words) noexcept {
      if (places[slot] != 0 && rooms[slot] >= words) return word(places[slot] - 1u);
      if (used % kPageWords + words > kPageWords) used += kPageWords - used % kPageWords;
      if (used / kPageWords == kPages) return nullptr;
      std::unique_ptr<std::uint64_t[]>& page = pages[used / kPageWords];
      if (!page) {
        page.reset(new (std::nothrow) std::uint64_t[kPageWords]);  // left unwritten until learnt
        if (!page) return nullptr;
      }
      places[slot] = static_cast<std::uint32_t>(used + 1);
      rooms[slot] = static_cast<std::uint16_t>(words);
      used += words;
      return word(used - words);
    }
    std::size_t held_bytes() const noexcept {
      std::size_t held = 0;
      for (const auto& page : pages) held += page ? kPageWords * sizeof(std::uint64_t) : 0;
      return held;
    }
  };
  std::conditional_t<kPacked, Packed, InPlace> store;

  // The shape in slot, for reading: its place, or its parts.
  decltype(auto) shape(std::size_t slot) const noexcept {
    if constexpr (kPacked) {
      return Packed::parts(store.word(store.places[slot] - 1u), counts[slot]);
    } else {
      return store.of(slot);
    }
  }
  // Room for a shape of count members and tail_bytes in slot, or a null
  // prefix when there is none; the pages once spent are used afresh,
  // every shape forgotten.
  ShapeParts take(std::size_t slot, std::size_t count, std::size_t tail_bytes) noexcept {
    if constexpr (kPacked) {
      const std::size_t words = (count * 10 + tail_bytes + 7) / 8;
      std::uint64_t* at = store.take(slot, words);
      if (at == nullptr && store.used / Packed::kPageWords == Packed::kPages) {
        std::fill(std::begin(counts), std::end(counts), 0u);
        std::fill(std::begin(store.places), std::end(store.places), 0u);
        store.used = 0;
        at = store.take(slot, words);
      }
      if (at == nullptr) return {};
      return Packed::parts(at, count);
    } else {
      Shape& place = store.shapes[slot];
      return {place.prefix, place.size, place.order, place.tails.data()};
    }
  }

  // The first slot of the set of shapes of this size and first key.
  static std::size_t set_of(std::size_t count, std::uint64_t first_prefix) noexcept {
    constexpr int kSetBits = std::countr_zero(Sets);
    const std::uint64_t mixed =
        (first_prefix ^ (count * 0x9E3779B97F4A7C15ULL)) * 0xD6E8FEB86659FD93ULL;
    return static_cast<std::size_t>(mixed >> (64 - kSetBits)) * Ways;
  }
  // The slot to learn a shape in: an empty one or the one met least lately.
  std::size_t victim(std::size_t set) const noexcept {
    std::size_t best = set;
    for (std::size_t w = set + 1; w < set + Ways; ++w)
      if (met[w] < met[best]) best = w;
    return best;
  }

  // The key order of a known shape of these members, or null: the same keys
  // as an object already sorted, so no duplicates, and no "digest" to leave
  // out (shapes hold no "digest" key). A match is marked as met, for the
  // choice of the slot a new shape takes.
  template <class KeyOf>
  [[gnu::always_inline]] const std::uint8_t* find(std::span<const Member> members,
                                                  const KeyOf& key_of) noexcept {
    if (members.size() > kMaxMembers) return nullptr;
    const std::size_t set = set_of(members.size(), members[0].prefix);
    for (std::size_t slot = set; slot < set + kWays; ++slot) {
      if (counts[slot] != members.size() || firsts[slot] != members[0].prefix) continue;
      const auto& found = shape(slot);
      if (same_keys(found, members, key_of)) {
        met[slot] = ++clock;
        return &found.order[0];
      }
    }
    return nullptr;
  }

  // Makes the shape of these members known, with the order just sorted,
  // when the book can hold it.
  template <class KeyOf>
  void learn(std::span<const Member> members, std::span<const key_order::KeyRef> order,
             const KeyOf& key_of) noexcept {
    if (members.size() > kMaxMembers) return;
    std::size_t tail_bytes = 0;
    for (const Member& m : members) {
      // (A "digest" key is left out of shapes, so that a root object left
      // without its "digest" members never meets a known shape.)
      if (m.key_size > kMaxKeyBytes || is_digest_member(m)) return;
      if (m.key_size > 8) tail_bytes += m.key_size - 8;
    }
    if (tail_bytes > kTailBytes) return;
    const std::size_t slot = victim(set_of(members.size(), members[0].prefix));
    const ShapeParts learnt = take(slot, members.size(), tail_bytes);
    if (learnt.prefix == nullptr) return;
    counts[slot] = static_cast<std::uint32_t>(members.size());
    firsts[slot] = members[0].prefix;
    met[slot] = ++clock;
    std::size_t tail = 0;
    for (std::size_t k = 0; k < members.size(); ++k) {
      const Member& m = members[k];
      learnt.prefix[k] = m.prefix;
      learnt.size[k] = static_cast<std::uint8_t>(m.key_size);
      learnt.order[k] = static_cast<std::uint8_t>(order[k].index);
      if (m.key_size > 8) {
        std::memcpy(learnt.tails + tail, key_of(m).data() + 8, m.key_size - 8);
        tail += m.key_size - 8;
      }
    }
  }

 private:
  template <class Shape, class KeyOf>
  static bool same_keys(const Shape& shape, std::span<const Member> members,
                        const KeyOf& key_of) noexcept {
    std::size_t tail = 0;
    for (std::size_t k = 0; k < members.size(); ++k) {
      const Member& m = members[k];
      if (shape.prefix[k] != m.prefix || shape.size[k] != m.key_size) return false;
      if constexpr (kTailBytes != 0) {
        if (m.key_size > 8) {
          if (!equal_small(shape.tails + tail, key_of(m).data() + 8, m.key_size - 8)) return false;
          tail += m.key_size - 8;
        }
      }
    }
    return true;
  }
};

using ShortShapes = ShapeBook<16, 0, 2, 4>;
using LongShapes = ShapeBook<64, 1024, 16, 4>;

// Both books: the short one's shapes have short keys only, so a shape with
// a long key is looked up once. The long book is made at the first object
// of long keys that needs sorting: most documents have none, and it is the
// larger book.
struct ShapeBooks {
  ShortShapes short_shapes;
  std::unique_ptr<LongShapes> long_shapes;

  // Inline in the close of every object: most closes look a shape up.
  template <class KeyOf>
  [[gnu::always_inline]] const std::uint8_t* find(std::span<const Member> members,
                                                  const KeyOf& key_of) noexcept {
    if (const std::uint8_t* order = short_shapes.find(members, key_of)) return order;
    if (!long_shapes) return nullptr;
    return long_shapes->find(members, key_of);
  }
  template <class KeyOf>
  void learn(std::span<const Member> members, std::span<const key_order::KeyRef> order,
             const KeyOf& key_of) {
    const bool short_keys = std::all_of(members.begin(), members.end(),
                                        [](const Member& m) { return m.key_size <= 8; });
    if (short_keys) {
      short_shapes.learn(members, order, key_of);
      return;
    }
    // Its shapes take pages as they are learnt.
    if (!long_shapes) long_shapes.reset(new LongShapes);
    long_shapes->learn(members, order, key_of);
  }
  std::size_t held_bytes() const noexcept {
    return long_shapes ? sizeof(LongShapes) + long_shapes->store.held_bytes() : 0;
  }
};

}  // namespace quorl::direct_detail
