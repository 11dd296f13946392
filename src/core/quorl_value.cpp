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

// The children vector of a value that has children of its own, or null.
struct Children {
  std::vector<QuorlValue>* items = nullptr;
  std::vector<QuorlEntry>* entries = nullptr;
  explicit operator bool() const noexcept { return items != nullptr || entries != nullptr; }
};

Children children_of(QuorlValue& v) noexcept {
  if (auto* a = std::get_if<Array>(&v.v); a != nullptr && !a->items.empty())
    return {&a->items, nullptr};
  if (auto* o = std::get_if<Object>(&v.v); o != nullptr && !o->entries.empty())
    return {nullptr, &o->entries};
  return {};
}

QuorlValue& child(const Children& c, std::size_t k) noexcept {
  return c.items != nullptr ? (*c.items)[k] : (*c.entries)[k].value;
}
std::size_t count(const Children& c) noexcept {
  return c.items != nullptr ? c.items->size() : c.entries->size();
}

// The first child at or after k that has children of its own, or count(c).
std::size_t next_nested(const Children& c, std::size_t k) noexcept {
  const std::size_t n = count(c);
  while (k < n && !children_of(child(c, k))) ++k;
  return k;
}

}  // namespace

// Depth first from a heap stack of the children vectors being emptied: a
// vector is cleared only once none of its elements has children left, so no
// destructor goes more than one level down.
void QuorlValue::release_nested() noexcept {
  const Children top = children_of(*this);
  if (!top) return;
  std::size_t first = next_nested(top, 0);
  if (first == count(top)) return;  // only leaves below: nothing deep to undo
  struct Open {
    Children c;
    std::size_t next;
  };
  std::vector<Open> open;
  open.push_back({top, first});
  while (!open.empty()) {
    Open& o = open.back();
    const std::size_t k = next_nested(o.c, o.next);
    if (k == count(o.c)) {
      if (o.c.items != nullptr) {
        o.c.items->clear();
      } else {
        o.c.entries->clear();
      }
      open.pop_back();
      continue;
    }
    o.next = k + 1;
    const Children below = children_of(child(o.c, k));
    open.push_back({below, 0});
  }
}

std::string Int::to_decimal() const {
  std::string out;
  append_decimal(out);
  return out;
}

}  // namespace quorl
