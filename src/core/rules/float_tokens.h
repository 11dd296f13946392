// A text with each float token written as the string of its repr: what a
// document means when its floats are taken as strings.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quorl {

enum class QuotedFloats {
  None,    // the text holds no float token
  Quoted,  // out holds the text with its float tokens quoted
  Exact,   // a float token that cannot be quoted: one whose double is an
           // infinity, or one standing where a key must (quoting it would
           // make a text that reads); only the exact path may judge the text
};

// out: the text with every float token (a number with a fraction or an
// exponent, the whole token) replaced by "repr" in quotes; every other byte
// as it is. Unspecified unless Quoted.
QuotedFloats quote_float_tokens(std::string_view text, std::string& out);

}  // namespace quorl
