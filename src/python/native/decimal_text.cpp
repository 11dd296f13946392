#include "native/decimal_text.h"

namespace quorl::native {

// Eight digits at a time from the right, through divisions that do not wait
// on one another (a loop of divisions by 100 is a chain as long as the
// number).
char* put_wide(char* w, unsigned long long u) noexcept {
  unsigned eights[3];
  std::size_t count = 0;
  while (u >= 100000000) {
    eights[count++] = static_cast<unsigned>(u % 100000000);
    u /= 100000000;
  }
  const auto n = static_cast<unsigned>(u);  // the leading 1 to 8 digits
  w = n < 10000 ? put_up_to_four(w, n) : put_four(put_up_to_four(w, n / 10000), n % 10000);
  while (count > 0) {
    const unsigned eight = eights[--count];
    w = put_four(put_four(w, eight / 10000), eight % 10000);
  }
  return w;
}

}  // namespace quorl::native
