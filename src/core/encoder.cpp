#include "core/encoder.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "json/byte_scan.h"

namespace quorl {

namespace {

constexpr std::string_view kDigestKey = "digest";

// Error messages are all static texts, so the recursive walk reports them as
// views (with a marker's source offset) and the public functions turn the one
// that wins into a QuorlError.
using Fault = std::optional<EncodeFault>;

Fault write_value(std::string& out, const QuorlValue& value, std::size_t depth);

Fault write_object(std::string& out, std::span<const QuorlEntry> entries, std::size_t depth,
                   bool skip_digest_key) {
  auto selected = [&](const QuorlEntry& e) { return !skip_digest_key || e.key != kDigestKey; };

  // Objects from the decoder arrive with distinct keys in ascending order;
  // spot that in one pass and skip the sort.
  bool ascending = true;
  const QuorlEntry* prev = nullptr;
  for (const QuorlEntry& e : entries) {
    if (!selected(e)) continue;
    if (prev != nullptr && !(prev->key < e.key)) {
      ascending = false;
      break;
    }
    prev = &e;
  }

  out.push_back('{');
  bool first = true;
  auto emit = [&](const QuorlEntry& e) -> Fault {
    if (!first) out.push_back(',');
    first = false;
    append_encoded_string(out, e.key);
    out.push_back(':');
    return write_value(out, e.value, depth);
  };

  if (ascending) {
    for (const QuorlEntry& e : entries) {
      if (!selected(e)) continue;
      if (Fault f = emit(e)) return f;
    }
  } else {
    // Sort references, never copies of keys or values.
    std::vector<const QuorlEntry*> order;
    order.reserve(entries.size());
    for (const QuorlEntry& e : entries) {
      if (selected(e)) order.push_back(&e);
    }
    std::sort(order.begin(), order.end(),
              [](const QuorlEntry* a, const QuorlEntry* b) { return a->key < b->key; });
    // Equal keys are refused before any member is encoded.
    for (std::size_t i = 1; i < order.size(); ++i) {
      if (order[i - 1]->key == order[i]->key) return EncodeFault{msg::kDuplicateKey};
    }
    for (const QuorlEntry* e : order) {
      if (Fault f = emit(*e)) return f;
    }
  }
  out.push_back('}');
  return std::nullopt;
}

Fault write_value(std::string& out, const QuorlValue& value, std::size_t depth) {
  switch (value.kind()) {
    case Kind::Null:
      out.append("null");
      return std::nullopt;
    case Kind::Bool:
      out.append(value.as<Bool>().value ? "true" : "false");
      return std::nullopt;
    case Kind::Int:
      value.as<Int>().append_decimal(out);
      return std::nullopt;
    case Kind::Str:
      append_encoded_string(out, value.as<Str>().text);
      return std::nullopt;
    case Kind::Array: {
      if (depth >= kMaxDepth) [[unlikely]]
        return EncodeFault{msg::kDepth};
      const auto& items = value.as<Array>().items;
      out.push_back('[');
      for (std::size_t i = 0; i < items.size(); ++i) {
        if (i != 0) out.push_back(',');
        if (Fault f = write_value(out, items[i], depth + 1)) return f;
      }
      out.push_back(']');
      return std::nullopt;
    }
    case Kind::Object:
      if (depth >= kMaxDepth) [[unlikely]]
        return EncodeFault{msg::kDepth};
      return write_object(out, value.as<Object>().entries, depth + 1, false);
    case Kind::Float:
      return EncodeFault{msg::kFloat, value.as<Float>().offset};
    case Kind::NaN:
      return EncodeFault{msg::kNaN, value.as<NaN>().offset};
    case Kind::Infinity:
      return EncodeFault{msg::kInfinity, value.as<Infinity>().offset};
    case Kind::LoneSurrogate:
      return EncodeFault{msg::kLoneSurrogate, value.as<LoneSurrogate>().offset};
  }
  return EncodeFault{msg::kFloat};  // unreachable: the switch covers every alternative
}

}  // namespace

void append_encoded_string(std::string& out, std::string_view text) {
  // Plain runs are found sixteen bytes at a time and copied whole. Where
  // escapes are dense, bytes are gathered in a small buffer instead, so that
  // escape-heavy text does not pay a string append per character; a streak
  // of plain bytes sends the loop back to the fast scan.
  constexpr std::size_t kBuffer = 512;
  constexpr std::size_t kPlainStreak = 16;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  out.push_back('"');
  std::size_t i = 0;
  while (true) {
    const std::size_t j = find_string_special(p, i, n);
    out.append(text.data() + i, j - i);
    if (j == n) break;
    char buf[kBuffer];
    std::size_t b = 0;
    std::size_t streak = 0;
    i = j;
    while (i < n && streak < kPlainStreak) {
      const unsigned char c = p[i++];
      if (is_string_special(c)) {
        b += put_canonical_escape(buf + b, c);
        streak = 0;
      } else {
        buf[b++] = static_cast<char>(c);
        ++streak;
      }
      if (b > kBuffer - 6) {
        out.append(buf, b);
        b = 0;
      }
    }
    out.append(buf, b);
  }
  out.push_back('"');
}

std::string encode_string(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  append_encoded_string(out, text);
  return out;
}

Order compare_code_points(std::string_view a, std::string_view b) noexcept {
  // UTF-8 keeps scalar-value order, so unsigned bytes compare the same way;
  // char_traits<char>::compare compares as unsigned char.
  int c = a.compare(b);
  return c < 0 ? Order::Less : (c > 0 ? Order::Greater : Order::Equal);
}

std::optional<EncodeFault> encode_value_into(std::string& out, const QuorlValue& value,
                                             std::size_t depth) {
  return write_value(out, value, depth);
}

std::optional<EncodeFault> encode_object_into(std::string& out,
                                              std::span<const QuorlEntry> entries,
                                              std::size_t depth, bool skip_digest_key) {
  return write_object(out, entries, depth, skip_digest_key);
}

Result<std::string> encode_value(const QuorlValue& value, std::size_t depth) {
  std::string out;
  if (Fault f = write_value(out, value, depth)) return fail(f->error());
  return out;
}

Result<std::string> encode_object(std::span<const QuorlEntry> entries, std::size_t depth,
                                  bool skip_digest_key) {
  std::string out;
  if (Fault f = write_object(out, entries, depth, skip_digest_key)) return fail(f->error());
  return out;
}

}  // namespace quorl
