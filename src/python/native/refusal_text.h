// A refusal as text, for results that carry it as a value rather than
// raising it: the str() of the RefusedError it would raise.
#pragma once

#include <cstddef>
#include <string>

#include "base/result.h"

namespace quorl::native {

inline void append_decimal(std::string& out, std::size_t value) {
  char digits[24];
  char* end = digits + sizeof digits;
  char* at = end;
  do {
    *--at = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  out.append(at, static_cast<std::size_t>(end - at));
}

// "line L column C: <message>" when the refusal is located, else the message.
inline void append_refusal_text(std::string& out, const QuorlError& error) {
  if (error.offset != kNoOffset) {
    out.append("line ");
    append_decimal(out, error.line);
    out.append(" column ");
    append_decimal(out, error.column);
    out.append(": ");
  }
  out.append(error.message);
}

}  // namespace quorl::native
