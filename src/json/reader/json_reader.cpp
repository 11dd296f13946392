#include "json/reader/json_reader.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/key_order.h"
#include "json/lex/byte_scan.h"
#include "json/lex/escapes.h"
#include "json/lex/string_lexer.h"
#include "json/lex/token_lexer.h"

namespace quorl::json {
namespace {

using u64 = std::uint64_t;

// Vectors of nodes grow by moving; make sure that never degrades to copying.
static_assert(std::is_nothrow_move_constructible_v<JsonTree>);
static_assert(std::is_nothrow_move_constructible_v<JsonMember>);

// P[k] is the double nearest to 10^k: each literal is rounded correctly by
// the compiler, which repeated multiplication would not be.
// clang-format off
constexpr std::array<double, 309> kPow10 = {
    1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22, 1e23,
    1e24, 1e25, 1e26, 1e27, 1e28, 1e29, 1e30, 1e31, 1e32, 1e33, 1e34, 1e35,
    1e36, 1e37, 1e38, 1e39, 1e40, 1e41, 1e42, 1e43, 1e44, 1e45, 1e46, 1e47,
    1e48, 1e49, 1e50, 1e51, 1e52, 1e53, 1e54, 1e55, 1e56, 1e57, 1e58, 1e59,
    1e60, 1e61, 1e62, 1e63, 1e64, 1e65, 1e66, 1e67, 1e68, 1e69, 1e70, 1e71,
    1e72, 1e73, 1e74, 1e75, 1e76, 1e77, 1e78, 1e79, 1e80, 1e81, 1e82, 1e83,
    1e84, 1e85, 1e86, 1e87, 1e88, 1e89, 1e90, 1e91, 1e92, 1e93, 1e94, 1e95,
    1e96, 1e97, 1e98, 1e99, 1e100, 1e101, 1e102, 1e103, 1e104, 1e105, 1e106, 1e107,
    1e108, 1e109, 1e110, 1e111, 1e112, 1e113, 1e114, 1e115, 1e116, 1e117, 1e118, 1e119,
    1e120, 1e121, 1e122, 1e123, 1e124, 1e125, 1e126, 1e127, 1e128, 1e129, 1e130, 1e131,
    1e132, 1e133, 1e134, 1e135, 1e136, 1e137, 1e138, 1e139, 1e140, 1e141, 1e142, 1e143,
    1e144, 1e145, 1e146, 1e147, 1e148, 1e149, 1e150, 1e151, 1e152, 1e153, 1e154, 1e155,
    1e156, 1e157, 1e158, 1e159, 1e160, 1e161, 1e162, 1e163, 1e164, 1e165, 1e166, 1e167,
    1e168, 1e169, 1e170, 1e171, 1e172, 1e173, 1e174, 1e175, 1e176, 1e177, 1e178, 1e179,
    1e180, 1e181, 1e182, 1e183, 1e184, 1e185, 1e186, 1e187, 1e188, 1e189, 1e190, 1e191,
    1e192, 1e193, 1e194, 1e195, 1e196, 1e197, 1e198, 1e199, 1e200, 1e201, 1e202, 1e203,
    1e204, 1e205, 1e206, 1e207, 1e208, 1e209, 1e210, 1e211, 1e212, 1e213, 1e214, 1e215,
    1e216, 1e217, 1e218, 1e219, 1e220, 1e221, 1e222, 1e223, 1e224, 1e225, 1e226, 1e227,
    1e228, 1e229, 1e230, 1e231, 1e232, 1e233, 1e234, 1e235, 1e236, 1e237, 1e238, 1e239,
    1e240, 1e241, 1e242, 1e243, 1e244, 1e245, 1e246, 1e247, 1e248, 1e249, 1e250, 1e251,
    1e252, 1e253, 1e254, 1e255, 1e256, 1e257, 1e258, 1e259, 1e260, 1e261, 1e262, 1e263,
    1e264, 1e265, 1e266, 1e267, 1e268, 1e269, 1e270, 1e271, 1e272, 1e273, 1e274, 1e275,
    1e276, 1e277, 1e278, 1e279, 1e280, 1e281, 1e282, 1e283, 1e284, 1e285, 1e286, 1e287,
    1e288, 1e289, 1e290, 1e291, 1e292, 1e293, 1e294, 1e295, 1e296, 1e297, 1e298, 1e299,
    1e300, 1e301, 1e302, 1e303, 1e304, 1e305, 1e306, 1e307, 1e308,
};
// clang-format on

inline std::size_t skip_ws(const char* s, std::size_t n, std::size_t i) noexcept {
  return skip_whitespace(reinterpret_cast<const unsigned char*>(s), i, n);
}

// --- Numbers ----------------------------------------------------------------

// s * 10 + d would pass 2^64 - 1 once s reaches this.
constexpr u64 kSigGuard = 1844674407370955161ULL;

inline bool sig_overflows(u64 s, unsigned d) noexcept {
  return s > kSigGuard || (s == kSigGuard && d > 5);
}

// x = s * 10^e in the fixed sequence of double operations below, so that the
// result is the same everywhere; false when it overflows.
bool compose_double(u64 s, std::int64_t e, double& x) noexcept {
  x = static_cast<double>(s);
  for (;;) {
    if (e >= -308 && e <= 308) {
      if (e >= 0) {
        x *= kPow10[static_cast<std::size_t>(e)];
        return !std::isinf(x);
      }
      x /= kPow10[static_cast<std::size_t>(-e)];
      return true;
    }
    if (x == 0.0) return true;
    if (e >= 0) return false;
    // At most a few rounds: 1e308 twice takes any finite double to zero.
    x /= 1e308;
    e += 308;
  }
}

// --- Objects ----------------------------------------------------------------

// Members in ascending unsigned byte order of key, a later duplicate key
// replacing the earlier one.
void order_members(std::vector<JsonMember>& members) {
  const std::size_t count = members.size();
  const auto member_key = [](const JsonMember& m) { return std::string_view(m.key); };
  if (key_order::ascending_distinct(std::span<const JsonMember>(members), member_key))
    return;  // the usual case: nothing to move

  // Sort small references, not the members; equal keys stay in text order.
  std::vector<key_order::KeyRef> refs;
  refs.reserve(count);
  for (std::size_t k = 0; k < count; ++k) refs.push_back({key_order::prefix_of(members[k].key), k});
  const auto key_of = [&members](const key_order::KeyRef& r) {
    return std::string_view(members[r.index].key);
  };
  key_order::sort_by_key(std::span<key_order::KeyRef>(refs), key_of);

  std::vector<JsonMember> ordered;
  ordered.reserve(count);
  for (std::size_t k = 0; k < count; ++k) {
    // refs[k + 1]'s member is still in place; a later duplicate wins.
    if (k + 1 < count && key_order::same_key(refs[k + 1], refs[k], key_of)) continue;
    ordered.push_back(std::move(members[refs[k].index]));
  }
  members = std::move(ordered);
}

}  // namespace

// --- Reader -----------------------------------------------------------------

Result<JsonTree, JsonError> JsonReader::read_value() {
  JsonTree tree;
  if (!parse_value(tree)) [[unlikely]]
    return fail(error());
  return tree;
}

Result<Unit, JsonError> JsonReader::expect_end() {
  i_ = skip_ws(text_.data(), text_.size(), i_);
  if (i_ < text_.size()) [[unlikely]] {
    fail_next(msg::kTrailingCharacters);
    return fail(error());
  }
  return Unit{};
}

// After the opening square bracket (first) or after an item: the next item's
// node in slot, or the array closed.
[[gnu::always_inline]] inline JsonReader::Step JsonReader::next_item(JsonArray& out, bool first,
                                                                     JsonTree*& slot) {
  const char* const s = text_.data();
  const std::size_t n = text_.size();
  std::size_t i = skip_ws(s, n, i_);
  i_ = i;
  if (i == n) [[unlikely]]
    return fault_next(msg::kEofList);
  if (s[i] == ']') {
    i_ = i + 1;
    return Step::Closed;
  }
  if (!first) {
    if (s[i] != ',') [[unlikely]]
      return fault_next(msg::kExpectedCommaOrBracket);
    i = skip_ws(s, n, i + 1);
    i_ = i;
    if (i == n) [[unlikely]]
      return fault_next(msg::kEofValue);
    if (s[i] == ']') [[unlikely]]
      return fault_next(msg::kTrailingComma);
  }
  slot = &out.items.emplace_back();
  return Step::Slot;
}

// After the opening curly bracket (first) or after a member's value: the key
// and colon read and the value's node in slot, or the object closed (and its
// members put in order).
[[gnu::always_inline]] inline JsonReader::Step JsonReader::next_member(JsonObject& out, bool first,
                                                                       JsonTree*& slot) {
  const char* const s = text_.data();
  const std::size_t n = text_.size();
  std::vector<JsonMember>& members = out.members;
  std::size_t i = skip_ws(s, n, i_);
  i_ = i;
  if (i == n) [[unlikely]]
    return fault_next(msg::kEofObject);
  if (s[i] == '}') {
    i_ = i + 1;
    order_members(members);
    return Step::Closed;
  }
  if (!first) {
    if (s[i] != ',') [[unlikely]]
      return fault_next(msg::kExpectedCommaOrBrace);
    i = skip_ws(s, n, i + 1);
    i_ = i;
    if (i == n) [[unlikely]]
      return fault_next(msg::kEofValue);
    if (s[i] == '}') [[unlikely]]
      return fault_next(msg::kTrailingComma);
  }
  if (s[i] != '"') [[unlikely]]
    return fault_next(msg::kKeyMustBeString);
  i_ = i + 1;
  JsonMember& member = members.emplace_back();
  if (!parse_string(member.key)) return Step::Fault;
  i = skip_ws(s, n, i_);
  i_ = i;
  if (i == n) [[unlikely]]
    return fault_next(msg::kEofObject);
  if (s[i] != ':') [[unlikely]]
    return fault_next(msg::kExpectedColon);
  i_ = i + 1;
  slot = &member.value;
  return Step::Slot;
}

// Containers are read without recursion: top is the innermost container not
// yet closed (none at the root), open_ holds the ones around it, and slot is
// the node the next value goes into. A container's node sits in its
// parent's vector, which grows only once the container is closed, so the
// pointers kept stay valid.
bool JsonReader::parse_value(JsonTree& root) {
  const char* const s = text_.data();
  const std::size_t n = text_.size();
  std::vector<Open>& outer = open_;
  outer.clear();
  Open top{nullptr, nullptr};
  JsonTree* slot = &root;
  for (;;) {
    const std::size_t i = skip_ws(s, n, i_);
    i_ = i;
    if (i == n) [[unlikely]]
      return fail_next(msg::kEofValue);
    slot->offset = i;
    bool first = false;
    if (s[i] == '{' || s[i] == '[') {
      i_ = i + 1;
      if (top.array != nullptr) {
        top.array->flat = false;
        outer.push_back(top);
      } else if (top.object != nullptr) {
        top.object->flat = false;
        outer.push_back(top);
      }
      if (s[i] == '{') {
        top = Open{nullptr, &slot->node.emplace<JsonObject>()};
        top.object->flat = true;
      } else {
        top = Open{&slot->node.emplace<JsonArray>(), nullptr};
        top.array->flat = true;
      }
      first = true;
    } else if (!parse_scalar(*slot)) {
      return false;
    }
    // Move on to the next slot, closing the containers that end here.
    for (;;) {
      Step step;
      if (top.array != nullptr) {
        step = next_item(*top.array, first, slot);
      } else if (top.object != nullptr) {
        step = next_member(*top.object, first, slot);
      } else {
        return true;  // the root value is complete
      }
      if (step == Step::Slot) break;
      if (step == Step::Fault) [[unlikely]]
        return false;
      if (outer.empty()) {
        top = Open{nullptr, nullptr};
      } else {
        top = outer.back();
        outer.pop_back();
      }
      first = false;
    }
  }
}

// At entry i_ is at the value's first byte, which is not a bracket.
bool JsonReader::parse_scalar(JsonTree& out) {
  const char* const s = text_.data();
  const std::size_t i = i_;
  switch (s[i]) {
    case '"':
      i_ = i + 1;
      return parse_string(out.node.emplace<JsonString>().value);
    case '-':
      i_ = i + 1;
      return parse_number(out, true);
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
      return parse_number(out, false);
    case 'n':
      if (!parse_literal("null")) return false;
      out.node.emplace<JsonNull>();
      return true;
    case 't':
      if (!parse_literal("true")) return false;
      out.node.emplace<JsonBool>(JsonBool{true});
      return true;
    case 'f':
      if (!parse_literal("false")) return false;
      out.node.emplace<JsonBool>(JsonBool{false});
      return true;
    default:
      return fail_next(msg::kExpectedValue);
  }
}

// The first letter is known to match and is not yet consumed.
bool JsonReader::parse_literal(std::string_view word) {
  const LiteralEnd end =
      lex_literal(reinterpret_cast<const unsigned char*>(text_.data()), text_.size(), i_, word);
  i_ = end.end;
  if (end.fault.code != Fault::None) [[unlikely]]
    return fail_at(end.fault, end.end);
  return true;
}

// At entry the minus sign, if any, is consumed and the first digit is not.
bool JsonReader::parse_number(JsonTree& out, bool negative) {
  const auto* p = reinterpret_cast<const unsigned char*>(text_.data());
  const NumberToken t = lex_number(p, text_.size(), i_);
  if (t.fault.code != Fault::None) [[unlikely]]
    return fail_at(t.fault, t.fault_at);
  i_ = t.end;

  u64 sig = 0;
  std::int64_t exp = 0;  // wide enough that counting digits can never overflow
  bool is_double = t.has_fraction || t.has_exponent;
  for (std::size_t k = t.int_begin; k < t.int_end; ++k) {
    const auto d = static_cast<unsigned>(p[k] - '0');
    if (sig >= kSigGuard && sig_overflows(sig, d)) [[unlikely]] {
      // Too long for 64 bits: keep the leading digits, count the rest.
      is_double = true;
      exp += static_cast<std::int64_t>(t.int_end - k);
      break;
    }
    sig = sig * 10 + d;
  }
  if (t.has_fraction) {
    std::int64_t kept = 0;
    for (std::size_t k = t.frac_begin; k < t.frac_end; ++k) {
      const auto d = static_cast<unsigned>(p[k] - '0');
      if (sig_overflows(sig, d)) break;  // beyond 64 bits: dropped
      sig = sig * 10 + d;
      ++kept;
    }
    exp -= kept;
  }
  if (t.has_exponent) {
    std::int64_t x = 0;
    for (std::size_t k = t.exp_begin; k < t.exp_end; ++k) {
      const auto d = static_cast<unsigned>(p[k] - '0');
      if (x > 214748364 || (x == 214748364 && d > 7)) [[unlikely]] {
        // The exponent does not fit 32 bits.
        if (sig != 0 && !t.exponent_negative) return fail_at(msg::kNumberOutOfRange, k + 1);
        out.node.emplace<JsonNumber>(JsonNumber::real(negative ? -0.0 : 0.0));
        return true;
      }
      x = x * 10 + d;
    }
    exp = t.exponent_negative ? exp - x : exp + x;
  }

  if (!is_double) [[likely]] {
    if (!negative) {
      out.node.emplace<JsonNumber>(JsonNumber::pos(sig));
    } else if (sig != 0 && sig <= (u64{1} << 63)) {
      // 0 - sig is -sig modulo 2^64, which converts to the exact negative.
      out.node.emplace<JsonNumber>(JsonNumber::neg(static_cast<std::int64_t>(0 - sig)));
    } else {
      out.node.emplace<JsonNumber>(JsonNumber::real(-static_cast<double>(sig)));
    }
    return true;
  }

  exp = std::clamp<std::int64_t>(exp, std::numeric_limits<std::int32_t>::min(),
                                 std::numeric_limits<std::int32_t>::max());
  double x = 0.0;
  if (!compose_double(sig, exp, x)) [[unlikely]]
    return fail_at(msg::kNumberOutOfRange, t.end);
  out.node.emplace<JsonNumber>(JsonNumber::real(negative ? -x : x));
  return true;
}

// At entry the opening quotation mark is consumed.
bool JsonReader::parse_string(std::string& out) {
  const auto* p = reinterpret_cast<const unsigned char*>(text_.data());
  const std::size_t n = text_.size();
  const std::size_t start = i_;
  std::size_t i = find_string_special(p, start, n);
  out.assign(text_.data() + start, i - start);
  if (i < n && p[i] == '"') [[likely]] {
    i_ = i + 1;  // no escape: one copy straight from the text
    return true;
  }
  const StringEnd end = lex_string_rest<false>(p, n, i, out);
  i_ = i;
  if (end != StringEnd::Closed) [[unlikely]]
    return fail_at(message_of(end), i);
  return true;
}

}  // namespace quorl::json
