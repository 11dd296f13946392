#include "core/exact/encoder.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "base/key_order.h"
#include "json/lex/string_escape.h"

namespace quorl {

namespace {

constexpr std::string_view kDigestKey = "digest";

// Error messages are all static texts, so the walk reports them as views
// (with a marker's source offset) and the public functions turn the one that
// wins into a QuorlError.
using MaybeFault = std::optional<EncodeFault>;

// The encoding walk. Containers are written without recursion: open_ holds
// the containers being written, innermost last.
class Writer {
 public:
  explicit Writer(std::string& out) noexcept : out_(out) {}

  MaybeFault value(const QuorlValue& v, std::size_t depth) {
    if (MaybeFault f = put(v, depth)) return f;
    return finish();
  }
  MaybeFault object(std::span<const QuorlEntry> entries, std::size_t depth, bool skip_digest_key) {
    if (MaybeFault f = open_object(entries, depth, skip_digest_key)) return f;
    return finish();
  }

 private:
  // A container being written, with the depth its children are written at.
  // An array walks items; an object walks entries directly when they are
  // already in order, else through the references order_[sorted, sorted + count).
  enum class Walks : unsigned char { Items, Entries, Sorted };
  struct Open {
    Walks walks;
    bool skip_digest_key;
    bool first = true;
    const QuorlValue* items;
    const QuorlEntry* entries;
    std::size_t sorted;
    std::size_t count;
    std::size_t next;
    std::size_t depth;
  };

  // Writes a value that can neither fail nor open a container; false, with
  // nothing written, for any other.
  [[gnu::always_inline]] bool put_plain(const QuorlValue& v) {
    switch (v.kind()) {
      case Kind::Str:
        json::append_string_form(out_, v.as<Str>().text);
        return true;
      case Kind::Int:
        v.as<Int>().append_decimal(out_);
        return true;
      case Kind::Null:
        out_.append("null");
        return true;
      case Kind::Bool:
        out_.append(v.as<Bool>().value ? "true" : "false");
        return true;
      default:
        return false;
    }
  }

  // The object's next member to write, or null at its end.
  const QuorlEntry* next_entry(Open& top) const noexcept {
    if (top.walks == Walks::Sorted)
      return top.next < top.count ? &top.entries[order_[top.sorted + top.next++].index] : nullptr;
    while (top.next < top.count) {
      const QuorlEntry& e = top.entries[top.next++];
      if (!top.skip_digest_key || e.key != kDigestKey) return &e;
    }
    return nullptr;
  }

  // Writes the open containers' children, innermost first. Plain values are
  // written in the loop over their container; a container or a marker leaves
  // it for put (which may push, so top is not used after that).
  MaybeFault finish() {
    while (!open_.empty()) {
      Open& top = open_.back();
      const std::size_t depth = top.depth;
      const QuorlValue* child = nullptr;
      if (top.walks == Walks::Items) {
        while (top.next < top.count) {
          if (top.next != 0) out_.push_back(',');
          const QuorlValue& v = top.items[top.next++];
          if (!put_plain(v)) {
            child = &v;
            break;
          }
        }
        if (child == nullptr) {
          out_.push_back(']');
          open_.pop_back();
          continue;
        }
      } else {
        while (const QuorlEntry* e = next_entry(top)) {
          if (!top.first) out_.push_back(',');
          top.first = false;
          json::append_string_form(out_, e->key);
          out_.push_back(':');
          if (!put_plain(e->value)) {
            child = &e->value;
            break;
          }
        }
        if (child == nullptr) {
          out_.push_back('}');
          if (top.walks == Walks::Sorted) order_.resize(top.sorted);
          open_.pop_back();
          continue;
        }
      }
      if (MaybeFault f = put(*child, depth)) return f;
    }
    return std::nullopt;
  }

  MaybeFault put(const QuorlValue& value, std::size_t depth) {
    switch (value.kind()) {
      case Kind::Null:
        out_.append("null");
        return std::nullopt;
      case Kind::Bool:
        out_.append(value.as<Bool>().value ? "true" : "false");
        return std::nullopt;
      case Kind::Int:
        value.as<Int>().append_decimal(out_);
        return std::nullopt;
      case Kind::Str:
        json::append_string_form(out_, value.as<Str>().text);
        return std::nullopt;
      case Kind::Array: {
        if (depth >= kMaxDepth) [[unlikely]]
          return EncodeFault{msg::kDepth};
        const auto& items = value.as<Array>().items;
        out_.push_back('[');
        open_.push_back(
            Open{Walks::Items, false, true, items.data(), nullptr, 0, items.size(), 0, depth + 1});
        return std::nullopt;
      }
      case Kind::Object:
        if (depth >= kMaxDepth) [[unlikely]]
          return EncodeFault{msg::kDepth};
        return open_object(value.as<Object>().entries, depth + 1, false);
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

  // Writes '{' and opens the object, its members to be written at depth. Equal
  // keys are refused before any member is encoded.
  MaybeFault open_object(std::span<const QuorlEntry> entries, std::size_t depth,
                         bool skip_digest_key) {
    auto selected = [&](const QuorlEntry& e) { return !skip_digest_key || e.key != kDigestKey; };

    // Objects from the decoder arrive with distinct keys in ascending order;
    // spot that in one pass and skip the sort. (Keys in order with a
    // left-out "digest" among them are in order without it too.)
    const auto entry_key = [](const QuorlEntry& e) { return std::string_view(e.key); };
    const bool ascending = key_order::ascending_distinct(entries, entry_key);

    out_.push_back('{');
    if (ascending) {
      open_.push_back(Open{Walks::Entries, skip_digest_key, true, nullptr, entries.data(), 0,
                           entries.size(), 0, depth});
      return std::nullopt;
    }
    // Sort references, never copies of keys or values. The open objects
    // share one vector of them, each its own stretch at the end.
    const std::size_t sorted = order_.size();
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (selected(entries[i])) order_.push_back({key_order::prefix_of(entries[i].key), i});
    }
    const std::span<key_order::KeyRef> stretch(order_.data() + sorted, order_.size() - sorted);
    const auto ref_key = [&entries](const key_order::KeyRef& r) {
      return std::string_view(entries[r.index].key);
    };
    key_order::sort_by_key(stretch, ref_key);
    if (key_order::find_equal_neighbour(std::span<const key_order::KeyRef>(stretch), ref_key) !=
        stretch.size())
      return EncodeFault{msg::kDuplicateKey};
    open_.push_back(Open{Walks::Sorted, false, true, nullptr, entries.data(), sorted,
                         stretch.size(), 0, depth});
    return std::nullopt;
  }

  std::string& out_;
  std::vector<Open> open_;
  std::vector<key_order::KeyRef> order_;
};

}  // namespace

std::string encode_string(std::string_view text) {
  std::string out;
  json::append_string_form(out, text);
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
  return Writer(out).value(value, depth);
}

std::optional<EncodeFault> encode_object_into(std::string& out, std::span<const QuorlEntry> entries,
                                              std::size_t depth, bool skip_digest_key) {
  return Writer(out).object(entries, depth, skip_digest_key);
}

Result<std::string> encode_value(const QuorlValue& value, std::size_t depth) {
  std::string out;
  if (MaybeFault f = Writer(out).value(value, depth)) return fail(f->error());
  return out;
}

Result<std::string> encode_object(std::span<const QuorlEntry> entries, std::size_t depth,
                                  bool skip_digest_key) {
  std::string out;
  if (MaybeFault f = Writer(out).object(entries, depth, skip_digest_key)) return fail(f->error());
  return out;
}

}  // namespace quorl
