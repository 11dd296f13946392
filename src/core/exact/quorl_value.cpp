#include "core/exact/quorl_value.h"

#include <charconv>
#include <optional>
#include <utility>
#include <vector>

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

// A container that has children: exactly one of the two is set.
struct Children {
  Array* array = nullptr;
  Object* object = nullptr;
};

bool children_of(QuorlValue& v, Children& out) noexcept {
  if (auto* a = std::get_if<Array>(&v.v); a != nullptr && !a->items.empty()) {
    out = {a, nullptr};
    return true;
  }
  if (auto* o = std::get_if<Object>(&v.v); o != nullptr && !o->entries.empty()) {
    out = {nullptr, o};
    return true;
  }
  return false;
}

}  // namespace

// Takes apart the subtrees below this value, whose elements are destroyed
// from the back: one that holds containers is descended into first, its
// parent kept on a heap stack meanwhile; a flat one has its children cleared
// at once. No destructor then goes more than one level down.
void QuorlValue::release_nested() noexcept {
  Children c;
  if (!children_of(*this, c)) return;
  std::vector<Children> open;
  for (;;) {
    QuorlValue* last = nullptr;
    if (c.array != nullptr && !c.array->items.empty()) {
      last = &c.array->items.back();
    } else if (c.object != nullptr && !c.object->entries.empty()) {
      last = &c.object->entries.back().value;
    }
    if (last == nullptr) {
      if (open.empty()) return;
      c = open.back();
      open.pop_back();
      continue;
    }
    if (Children below; children_of(*last, below)) {
      if (below.array != nullptr && below.array->flat) {
        below.array->items.clear();
      } else if (below.object != nullptr && below.object->flat) {
        below.object->entries.clear();
      } else {
        open.push_back(c);
        c = below;
        continue;
      }
    }
    if (c.array != nullptr) {
      c.array->items.pop_back();
    } else {
      c.object->entries.pop_back();
    }
  }
}

std::string Int::to_decimal() const {
  std::string out;
  append_decimal(out);
  return out;
}

}  // namespace quorl
