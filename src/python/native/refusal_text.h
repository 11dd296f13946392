// A refusal as text, for results that carry it as a value rather than
// raising it: the str() of the RefusedError it would raise.
#pragma once

#include <string>

#include "base/result.h"
#include "native/decimal_text.h"

namespace quorl::native {

// "line L column C: <message>" when the refusal is located, else the message.
inline void append_refusal_text(std::string& out, const QuorlError& error) {
  if (error.offset != kNoOffset) {
    out.append("line ");
    append_number(out, error.line);
    out.append(" column ");
    append_number(out, error.column);
    out.append(": ");
  }
  out.append(error.message);
}

}  // namespace quorl::native
