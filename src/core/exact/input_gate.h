// The input gate: raw tagged JSON text to a QuorlValue. Two pre-scans of the
// raw bytes (bracket depth, number tokens), then the strict reader, the end
// check and the decoder, in that order; the first failure decides.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"
#include "core/exact/quorl_value.h"
#include "core/rules/float_text.h"

namespace quorl {

// At most this many brackets may be open at once in the raw text. Above the
// decoder's 128 so that the decoder, not the gate, judges 129..257; it exists
// to bound the reader's recursion.
inline constexpr std::size_t kMaxRawBracketDepth = 257;

// The pre-scans on their own, exposed for tests: the greatest number of
// brackets open at once outside string literals, and the message of the
// first number token that breaks a rule (nullopt when all pass).
std::size_t raw_bracket_depth(std::string_view text) noexcept;
std::optional<Message> check_number_tokens(std::string_view text) noexcept;

// Every refusal is located in the text (QuorlError offset, line, column).
// With floats as strings, a float token reads as the string of its repr.
Result<QuorlValue> decode_input_json(std::string_view text,
                                     FloatPolicy floats = FloatPolicy::Refuse);

// Fills in the line and column of an error that has only its offset in text.
void locate(QuorlError& error, std::string_view text);

// Bytes from outside a str (a file, a socket) must be UTF-8 before the gate
// reads them: the refusal "invalid UTF-8 at byte N", located at the first
// byte that breaks it.
Result<Unit> check_utf8(std::string_view text);

}  // namespace quorl
