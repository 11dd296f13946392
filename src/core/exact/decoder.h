// The tagged-JSON decoder: a JsonTree to a QuorlValue under the dialect's
// rules (one-member objects with a tag key, the exact-integer bound, the
// depth limit).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "base/result.h"
#include "core/exact/quorl_value.h"
#include "core/rules/number_token.h"
#include "core/rules/tag.h"
#include "json/reader/json_tree.h"

namespace quorl {

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
