// Ordering object members by key: ascending unsigned byte order of the keys'
// UTF-8, a key before any longer key it begins. One sort serves the reader,
// the direct path, the encoder and the object walk.
//
// Members are sorted through small references that carry the key's first
// eight bytes as a big-endian number (its prefix): two different prefixes
// settle a comparison without touching the keys, equal ones leave it to the
// full bytes.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace quorl::key_order {

// Up to this many references are sorted by insertion: for the few members
// of a typical record that beats the library sort, whose setup and branches
// cost more than the handful of moves.
inline constexpr std::size_t kInsertionSortMax = 16;

// A reference to the member at `index` of the caller's array (16 bytes
// with a 32-bit index too, so it takes a full one).
struct KeyRef {
  std::uint64_t prefix;
  std::size_t index;
};

// The prefix of a key: its first eight bytes big-endian, zero-padded. Reads
// only the key's own bytes.
inline std::uint64_t prefix_of(std::string_view key) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(key.data());
  const std::size_t n = key.size();
  if (n >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
    return word;
  }
  if (n >= 4) {
    // Two overlapping loads; the bytes they share land in the same place.
    std::uint32_t head, tail;
    std::memcpy(&head, p, 4);
    std::memcpy(&tail, p + n - 4, 4);
    if constexpr (std::endian::native == std::endian::little) {
      head = __builtin_bswap32(head);
      tail = __builtin_bswap32(tail);
    }
    return (std::uint64_t{head} << 32) | (std::uint64_t{tail} << (64 - 8 * n));
  }
  std::uint64_t word = 0;
  for (std::size_t i = 0; i < n; ++i) word |= std::uint64_t{p[i]} << (56 - 8 * i);
  return word;
}

// The same, where at least eight bytes from key.data() may be read (the key
// lies inside a larger text): one unaligned load, the bytes past the key
// masked off.
inline std::uint64_t prefix_of_readable(std::string_view key) noexcept {
  std::uint64_t word;
  std::memcpy(&word, key.data(), 8);
  if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
  if (key.size() >= 8) return word;
  if (key.empty()) return 0;
  return word & (~std::uint64_t{0} << (8 * (8 - key.size())));
}

// Unsigned byte order of two keys whose prefixes are pa and pb: negative,
// zero or positive. Past equal prefixes the keys go on eight bytes a step,
// as words like the prefix (no call into memcmp for a few bytes); zero
// padding can tie "a" with "a\0", so the sizes settle what the common bytes
// leave equal (a proper prefix first).
[[gnu::always_inline]] inline int compare_keys(std::uint64_t pa, std::string_view a,
                                               std::uint64_t pb, std::string_view b) noexcept {
  if (pa != pb) return pa < pb ? -1 : 1;
  const std::size_t common = std::min(a.size(), b.size());
  for (std::size_t at = 8; at < common; at += 8) {
    const std::uint64_t wa = prefix_of({a.data() + at, std::min<std::size_t>(a.size() - at, 8)});
    const std::uint64_t wb = prefix_of({b.data() + at, std::min<std::size_t>(b.size() - at, 8)});
    if (wa != wb) return wa < wb ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

// Whether a's key orders before b's. Ref has a `prefix`; key_of(ref) gives
// the key's bytes as a std::string_view.
template <class Ref, class KeyOf>
[[gnu::always_inline]] inline bool key_less(const Ref& a, const Ref& b,
                                            const KeyOf& key_of) noexcept {
  if (a.prefix != b.prefix) [[likely]]
    return a.prefix < b.prefix;
  return compare_keys(a.prefix, key_of(a), b.prefix, key_of(b)) < 0;
}

template <class Ref, class KeyOf>
[[gnu::always_inline]] inline bool same_key(const Ref& a, const Ref& b,
                                            const KeyOf& key_of) noexcept {
  return a.prefix == b.prefix && key_of(a) == key_of(b);
}

// Whether the items are already in strictly ascending key order (so also
// without equal keys): callers then skip the sort and the duplicate check.
// One comparison an item when it holds; items with a `prefix` use it.
template <class Item, class KeyOf>
bool ascending_distinct(std::span<const Item> items, const KeyOf& key_of) noexcept {
  for (std::size_t i = 1; i < items.size(); ++i) {
    if constexpr (requires(const Item& item) { item.prefix; }) {
      if (!key_less(items[i - 1], items[i], key_of)) return false;
    } else {
      // std::string_view compares its chars as unsigned char.
      if (!(key_of(items[i - 1]) < key_of(items[i]))) return false;
    }
  }
  return true;
}

// Sorts the references by key, stably: equal keys keep their order (the
// reader lets a later duplicate win). Above insertion_max, a Ref with an
// `index` member (its original position) breaks ties by it in the library
// sort; any other goes through the stable library sort, which allocates a
// buffer. (Large members sorted in place move more bytes a step, which
// favours insertion up to a higher bound.)
template <std::size_t insertion_max = kInsertionSortMax, class Ref, class KeyOf>
void sort_by_key(std::span<Ref> refs, const KeyOf& key_of) {
  const auto less = [&key_of](const Ref& a, const Ref& b) { return key_less(a, b, key_of); };
  if (refs.size() <= insertion_max) {
    for (std::size_t i = 1; i < refs.size(); ++i) {
      if (!less(refs[i], refs[i - 1])) [[likely]]
        continue;
      const Ref moving = refs[i];
      std::size_t j = i;
      do {
        refs[j] = refs[j - 1];
        --j;
      } while (j > 0 && less(moving, refs[j - 1]));
      refs[j] = moving;
    }
  } else if constexpr (requires(const Ref& r) { r.index < r.index; }) {
    std::sort(refs.begin(), refs.end(), [&key_of](const Ref& a, const Ref& b) {
      if (a.prefix != b.prefix) [[likely]]
        return a.prefix < b.prefix;  // without a look at the keys
      const int c = compare_keys(a.prefix, key_of(a), b.prefix, key_of(b));
      return c < 0 || (c == 0 && a.index < b.index);
    });
  } else {
    std::stable_sort(refs.begin(), refs.end(), less);
  }
}

// In sorted references, the first position i >= from whose key equals the
// one before it; refs.size() when there is none.
template <class Ref, class KeyOf>
std::size_t find_equal_neighbour(std::span<const Ref> refs, const KeyOf& key_of,
                                 std::size_t from = 1) noexcept {
  for (std::size_t i = std::max<std::size_t>(from, 1); i < refs.size(); ++i) {
    if (same_key(refs[i - 1], refs[i], key_of)) return i;
  }
  return refs.size();
}

}  // namespace quorl::key_order
