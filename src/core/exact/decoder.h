// The tagged-JSON decoder: a JsonTree to a QuorlValue under the dialect's
// rules (one-member objects with a tag key, the exact-integer bound, the
// depth limit).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/exact/quorl_value.h"
#include "core/result.h"
#include "core/rules/number_token.h"
#include "json/reader/json_tree.h"

namespace quorl {

// The test-vector key, honoured only while allow_test_vectors is set.
inline constexpr std::string_view kLoneSurrogateTag = "$quorl-vector:lone-surrogate";

enum class Tag : std::uint8_t { None, Int, Nan, Inf, Str, Obj, Arr, Bool, Null, Float, LoneSurrogate };

// The tag a member key names, by exact byte comparison; None for an ordinary key.
inline Tag tag_of(std::string_view key, bool allow_test_vectors) noexcept {
  if (key.size() < 4 || key[0] != '$') [[likely]]
    return Tag::None;
  if (key == "$int") return Tag::Int;
  if (key == "$nan") return Tag::Nan;
  if (key == "$inf") return Tag::Inf;
  if (key == "$str") return Tag::Str;
  if (key == "$obj") return Tag::Obj;
  if (key == "$arr") return Tag::Arr;
  if (key == "$bool") return Tag::Bool;
  if (key == "$null") return Tag::Null;
  if (key == "$float") return Tag::Float;
  if (allow_test_vectors && key == kLoneSurrogateTag) return Tag::LoneSurrogate;
  return Tag::None;
}

Result<QuorlValue> decode(const json::JsonTree& node, std::size_t depth, bool allow_test_vectors);
// The same, consuming the tree: its strings and keys are moved into the value.
Result<QuorlValue> decode(json::JsonTree&& node, std::size_t depth, bool allow_test_vectors);
// at: the offset of the container in the text, where a depth refusal is
// located (for a "$arr"/"$obj" wrapper, the wrapper's).
Result<QuorlValue> decode_items(std::span<const json::JsonTree> items, std::size_t depth,
                                bool allow_test_vectors, std::size_t at = kNoOffset);
Result<QuorlValue> decode_entries(std::span<const json::JsonMember> members, std::size_t depth,
                                  bool allow_test_vectors, std::size_t at = kNoOffset);
Result<QuorlValue> parse_int_payload(const json::JsonTree& payload);

}  // namespace quorl
