// The exact path with floats taken as strings: a float token is judged by
// the double it reads as (only an infinity is refused), read by the strict
// reader without being rounded, and decoded as the string of its repr, so
// that every refusal is located in the caller's own text.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "base/messages.h"
#include "json/reader/json_tree.h"

namespace quorl {

// The gate's number rule with floats as strings: a float token passes
// unless its double is an infinity (the infinity message); any other token
// is judged as usual.
std::optional<Message> judge_number_token_as_string(const unsigned char* t,
                                                    std::size_t len) noexcept;

// The text with every float token written as "0." and zeros of the same
// length: a number the reader takes without rounding or overflow, at the
// same offset, line and column.
std::string mask_float_tokens(std::string_view text);

// Every number that the reader read as a double (in a masked text, a float
// token) becomes the string of the repr of its token in text, the text the
// reader's was masked from.
void float_tokens_to_strings(json::JsonTree& tree, std::string_view text);

}  // namespace quorl
