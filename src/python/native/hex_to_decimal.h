// Decimal digits of a non-negative integer given in hexadecimal. Serves the
// integers too large for the interpreter's own int -> str conversion, which
// a process-wide digit limit may refuse; hex output has no such limit.
#pragma once

#include <string>
#include <string_view>

namespace quorl::native {

// Appends the decimal digits of the magnitude whose hex digits (0-9, a-f or
// A-F, no prefix) are `hex`: no leading zeros, "0" for zero or no digits.
// Quadratic in the length, which is fine at the sizes met in practice
// (100,000 decimal digits take a fraction of a second). Returns false,
// appending nothing, when a character is not a hex digit.
bool append_decimal_from_hex(std::string& out, std::string_view hex);

}  // namespace quorl::native
