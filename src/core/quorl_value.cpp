#include "core/quorl_value.h"

#include <charconv>
#include <utility>
#include <vector>

namespace quorl {

namespace {
// Up to 18 digits always fit a signed 64-bit integer, so shorter magnitudes
// are kept inline and only longer ones as a digit string.
constexpr std::size_t kMaxInlineDigits = 18;

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
}  // namespace

bool Int::from_decimal(std::string_view text, Int* out) {
  bool negative = false;
  if (!text.empty() && text.front() == '-') {
    negative = true;
    text.remove_prefix(1);
  }
  if (text.empty()) return false;
  for (char c : text) {
    if (!is_digit(c)) return false;
  }
  std::size_t first = text.find_first_not_of('0');
  if (first == std::string_view::npos) {  // all zeros: zero has no sign
    *out = Int(0);
    return true;
  }
  text.remove_prefix(first);
  Int result;
  if (text.size() <= kMaxInlineDigits) {
    std::int64_t magnitude = 0;
    for (char c : text) magnitude = magnitude * 10 + (c - '0');
    result.small_ = negative ? -magnitude : magnitude;
  } else {
    result.big_ = true;
    result.negative_ = negative;
    result.digits_.assign(text);
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

bool has_children(const QuorlValue& v) noexcept {
  if (const auto* a = std::get_if<Array>(&v.v)) return !a->items.empty();
  if (const auto* o = std::get_if<Object>(&v.v)) return !o->entries.empty();
  return false;
}

// Moves every child that has children of its own onto pending and drops the
// rest (leaves and emptied containers, whose destruction goes no deeper).
void detach(QuorlValue& v, std::vector<QuorlValue>& pending) {
  if (auto* a = std::get_if<Array>(&v.v)) {
    for (QuorlValue& item : a->items)
      if (has_children(item)) pending.push_back(std::move(item));
    a->items.clear();
  } else if (auto* o = std::get_if<Object>(&v.v)) {
    for (QuorlEntry& e : o->entries)
      if (has_children(e.value)) pending.push_back(std::move(e.value));
    o->entries.clear();
  }
}

bool any_nested(const QuorlValue& v) noexcept {
  if (const auto* a = std::get_if<Array>(&v.v)) {
    for (const QuorlValue& item : a->items)
      if (has_children(item)) return true;
  } else if (const auto* o = std::get_if<Object>(&v.v)) {
    for (const QuorlEntry& e : o->entries)
      if (has_children(e.value)) return true;
  }
  return false;
}

}  // namespace

void QuorlValue::release_nested() noexcept {
  // Only a container holding another non-empty container goes the long way.
  if (!any_nested(*this)) return;
  std::vector<QuorlValue> pending;
  detach(*this, pending);
  while (!pending.empty()) {
    QuorlValue v = std::move(pending.back());
    pending.pop_back();
    detach(v, pending);
  }
}

std::string Int::to_decimal() const {
  std::string out;
  append_decimal(out);
  return out;
}

}  // namespace quorl
