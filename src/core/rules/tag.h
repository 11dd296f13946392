// The dialect's tag keys: a one-member object whose key is one of them
// states a value explicitly ("$int" for an integer of any size, "$str",
// "$arr", "$obj", "$bool", "$null"), or names one the canonical form refuses
// ("$nan", "$inf", "$float"). Any other key is an ordinary member.
#pragma once

#include <cstdint>
#include <string_view>

namespace quorl {

// The test-vector key, honoured only while allow_test_vectors is set.
inline constexpr std::string_view kLoneSurrogateTag = "$quorl-vector:lone-surrogate";

enum class Tag : std::uint8_t {
  None,
  Int,
  Nan,
  Inf,
  Str,
  Obj,
  Arr,
  Bool,
  Null,
  Float,
  LoneSurrogate
};

// The tag a member key names, by exact byte comparison; None for an ordinary key.
inline Tag tag_of(std::string_view key, bool allow_test_vectors) noexcept {
  if (key.size() < 4 || key[0] != '$') [[likely]]
    return Tag::None;
  if (key == "$int") return Tag::Int;
  if (key == "$nan") return Tag::Nan;
  if (key == "$inf") return Tag::Inf;
  if (key == "$str") return Tag::Str;
  if (key == "$obj") return Tag::Obj;
  if (key == "$arr") return Tag::Arr;
  if (key == "$bool") return Tag::Bool;
  if (key == "$null") return Tag::Null;
  if (key == "$float") return Tag::Float;
  if (allow_test_vectors && key == kLoneSurrogateTag) return Tag::LoneSurrogate;
  return Tag::None;
}

}  // namespace quorl
