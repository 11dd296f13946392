// The tagged-JSON decoder: a JsonTree to a QuorlValue under the dialect's
// rules (one-member objects with a tag key, the exact-integer bound, the
// depth limit).
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "core/quorl_value.h"
#include "core/result.h"
#include "json/json_tree.h"

namespace quorl {

inline constexpr std::int64_t kMaxExactInteger = 9007199254740991;  // 2^53 - 1

namespace msg {
inline constexpr std::string_view kIntPayload =
    "invalid $int payload: expected optional '-' then ASCII digits";
inline constexpr std::string_view kStrPayload = "invalid $str payload: expected a JSON string";
inline constexpr std::string_view kObjPayload = "invalid $obj payload: expected a JSON object";
inline constexpr std::string_view kArrPayload = "invalid $arr payload: expected a JSON array";
inline constexpr std::string_view kBoolPayload =
    "invalid $bool payload: expected a JSON boolean";
inline constexpr std::string_view kNullPayload = "invalid $null payload: expected true";
}  // namespace msg

// The test-vector key, honoured only while allow_test_vectors is set.
inline constexpr std::string_view kLoneSurrogateTag = "$quorl-vector:lone-surrogate";

Result<QuorlValue> decode(const json::JsonTree& node, std::size_t depth, bool allow_test_vectors);
Result<QuorlValue> decode_items(std::span<const json::JsonTree> items, std::size_t depth,
                                bool allow_test_vectors);
Result<QuorlValue> decode_entries(std::span<const json::JsonMember> members, std::size_t depth,
                                  bool allow_test_vectors);
Result<QuorlValue> parse_int_payload(const json::JsonTree& payload);

}  // namespace quorl
