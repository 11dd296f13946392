// Line numbers written into output buffers, without a detour through
// formatted I/O.
#pragma once

#include <cstddef>
#include <string>

namespace quorl::native {

inline void append_number(std::string& out, std::size_t value) {
  char digits[24];
  char* end = digits + sizeof digits;
  char* at = end;
  do {
    *--at = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  out.append(at, static_cast<std::size_t>(end - at));
}

}  // namespace quorl::native
