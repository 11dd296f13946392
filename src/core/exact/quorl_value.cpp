#include "core/exact/quorl_value.h"

#include <charconv>
#include <optional>
#include <utility>
#include <vector>

#include "base/memory/nested_release.h"
#include "core/rules/int_payload.h"

namespace quorl {

namespace {
// Up to 18 digits always fit a signed 64-bit integer, so shorter magnitudes
// are kept inline and only longer ones as a digit string.
constexpr std::size_t kMaxInlineDigits = 18;

}  // namespace

bool Int::from_decimal(std::string_view text, Int* out) {
  const std::optional<IntPayload> payload = read_int_payload(text);
  if (!payload) return false;
  const std::string_view digits = payload->digits;
  Int result;
  if (digits.size() <= kMaxInlineDigits) {
    std::int64_t magnitude = 0;
    for (char c : digits) magnitude = magnitude * 10 + (c - '0');
    result.small_ = payload->negative ? -magnitude : magnitude;
  } else {
    result.big_ = true;
    result.negative_ = payload->negative;
    result.digits_.assign(digits);
  }
  *out = std::move(result);
  return true;
}

void Int::append_decimal(std::string& out) const {
  if (big_) {
    if (negative_) out.push_back('-');
    out.append(digits_);
    return;
  }
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, small_);
  (void)ec;  // 24 bytes always hold an int64
  out.append(buf, end);
}

namespace {

using Children = ContainerChildren<QuorlValue, Array, Object, &QuorlValue::v, &Object::entries>;

}  // namespace

// Takes apart the subtrees below this value without recursion.
void QuorlValue::release_nested() noexcept {
  Children c;
  if (Children::of(*this, c)) quorl::release_nested(c);
}

std::string Int::to_decimal() const {
  std::string out;
  append_decimal(out);
  return out;
}

}  // namespace quorl
