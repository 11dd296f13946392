// QuorlValue: a document between decoding and encoding. A closed tagged sum
// of ten alternatives; six carry data, four are markers for things the
// canonical form cannot hold. A value owns its whole subtree and never
// changes after construction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace quorl {

// An exact integer of any size. Kept as its decimal digits so that building
// it from text and rendering it are both linear in the number of digits; the
// model needs no arithmetic. Values that fit 64 bits skip the digit string.
class Int {
 public:
  Int() = default;
  explicit Int(std::int64_t v) noexcept : small_(v) {}

  // Builds from an optional '-' and one or more ASCII digits (leading zeros
  // allowed). Returns false, leaving *out untouched, when the text is not of
  // that form.
  static bool from_decimal(std::string_view text, Int* out);

  bool is_zero() const noexcept { return !big_ && small_ == 0; }
  bool is_negative() const noexcept { return big_ ? negative_ : small_ < 0; }

  // Appends the decimal text: digits without leading zeros, '-' first when
  // negative, "0" for zero.
  void append_decimal(std::string& out) const;
  std::string to_decimal() const;

 private:
  std::int64_t small_ = 0;  // the value when !big_
  bool big_ = false;
  bool negative_ = false;  // sign when big_
  std::string digits_;     // magnitude when big_: no leading zeros, never "0"
};

struct QuorlValue;
struct QuorlEntry;

struct Null {};
struct Bool {
  bool value = false;
};
struct Str {
  std::string text;  // well-formed UTF-8, no surrogates
};
struct Array {
  std::vector<QuorlValue> items;
  // Known to hold no container with children: set by the decoder, and lets
  // destruction skip looking for subtrees. False (unknown) is always safe.
  bool flat = false;
};
// A sequence, not a map: order and duplicate keys are the encoder's concern.
struct Object {
  std::vector<QuorlEntry> entries;
  bool flat = false;  // as Array::flat
};
// Markers remember where the decoder met them (a byte offset into the text,
// or SIZE_MAX), so that the encoder's refusal can be located.
struct Float {
  std::size_t offset = static_cast<std::size_t>(-1);
};
struct NaN {
  std::size_t offset = static_cast<std::size_t>(-1);
};
struct Infinity {
  std::size_t offset = static_cast<std::size_t>(-1);
};
struct LoneSurrogate {
  std::size_t offset = static_cast<std::size_t>(-1);
};

enum class Kind : std::uint8_t {
  Null,
  Bool,
  Int,
  Str,
  Array,
  Object,
  Float,
  NaN,
  Infinity,
  LoneSurrogate
};

struct QuorlValue {
  using Variant =
      std::variant<Null, Bool, Int, Str, Array, Object, Float, NaN, Infinity, LoneSurrogate>;
  Variant v;

  QuorlValue() = default;
  template <class T>
  requires(!std::is_same_v<std::decay_t<T>, QuorlValue> && std::is_constructible_v<Variant, T>)
      QuorlValue(T alt)
      : v(std::move(alt)) {}  // NOLINT: every alternative converts

  Kind kind() const noexcept { return static_cast<Kind>(v.index()); }
  template <class T>
  const T& as() const {
    return *std::get_if<T>(&v);
  }
  template <class T>
  bool is() const noexcept {
    return std::holds_alternative<T>(v);
  }

  QuorlValue(QuorlValue&&) noexcept = default;
  QuorlValue& operator=(QuorlValue&&) noexcept = default;
  QuorlValue(const QuorlValue&) = delete;
  QuorlValue& operator=(const QuorlValue&) = delete;

  // A container's subtree is taken apart from a heap worklist, not by
  // recursion, so that a deep value needs no more C stack than a flat one.
  ~QuorlValue();  // defined below, once QuorlEntry is complete

 private:
  void release_nested() noexcept;
};

struct QuorlEntry {
  std::string key;
  QuorlValue value;
};

inline QuorlValue::~QuorlValue() {
  if (const auto* a = std::get_if<Array>(&v); a != nullptr && !a->flat) [[unlikely]] {
    release_nested();
  } else if (const auto* o = std::get_if<Object>(&v); o != nullptr && !o->flat) [[unlikely]] {
    release_nested();
  }
}

}  // namespace quorl
