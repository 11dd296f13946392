// A member of an object being read by the direct path: where its key's bytes
// are, and where its `"key":value` text lies in the raw text.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorl::direct_detail {

struct Member {
  std::size_t key_offset;  // into the text, or into the decoded keys when in_keys
  std::uint32_t key_size;
  bool in_keys;          // the key had escapes: its decoded bytes are kept apart
  std::uint64_t prefix;  // the key's first eight bytes, big-endian (key_order.h)
  std::size_t begin;     // the member's raw text [begin, end)
  std::size_t end;
  std::size_t records_first;  // the records of the objects inside its value
  std::size_t records_end;
};

// The key "digest" as a prefix: with a size of 6, equal prefixes mean equal
// keys.
inline constexpr std::uint64_t kDigestKeyPrefix = 0x6469676573740000ULL;

inline bool is_digest_member(const Member& m) noexcept {
  return m.prefix == kDigestKeyPrefix && m.key_size == 6;
}

}  // namespace quorl::direct_detail
