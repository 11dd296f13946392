// The canonical encoder: a QuorlValue to its one canonical byte sequence.
// Compact JSON, members sorted by key bytes, integers in plain decimal, and
// only three kinds of string escape.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/result.h"
#include "core/exact/quorl_value.h"

namespace quorl {

enum class Order { Less, Equal, Greater };

inline constexpr std::size_t kMaxDepth = 128;  // containers at depth >= this are refused

// The canonical text of value, whose enclosing container count is depth.
Result<std::string> encode_value(const QuorlValue& value, std::size_t depth);

// The canonical text of an object with these entries, its members encoded at
// depth. No depth test of its own. With skip_digest_key, entries keyed
// exactly "digest" are left out before sorting and the duplicate check.
Result<std::string> encode_object(std::span<const QuorlEntry> entries, std::size_t depth,
                                  bool skip_digest_key);

// The first failure of an encoding: its static message and, for a marker, the
// offset in the text where the decoder met it (kNoOffset otherwise).
struct EncodeFault {
  Message message;
  std::size_t offset = kNoOffset;
  QuorlError error() const {
    return QuorlError{std::string(message.text), offset, 0, 0, message.code};
  }
};

// The same two, appending to out and reporting the first failure (out then
// holds a partial text for the caller to drop).
std::optional<EncodeFault> encode_value_into(std::string& out, const QuorlValue& value,
                                             std::size_t depth);
std::optional<EncodeFault> encode_object_into(std::string& out, std::span<const QuorlEntry> entries,
                                              std::size_t depth, bool skip_digest_key);

// The string form (json/lex/string_escape.h): quotes around the text, with
// '"' and '\\' escaped by a backslash and U+0000..U+001F as \u00xx
// (lowercase hex). Never fails.
std::string encode_string(std::string_view text);

// Code-point order of two UTF-8 texts, which equals unsigned byte order.
Order compare_code_points(std::string_view a, std::string_view b) noexcept;

}  // namespace quorl
