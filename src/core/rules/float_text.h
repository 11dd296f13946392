// Floats as strings: the text Python's float.__repr__ gives a double (the
// shortest digits that read back as the same double, "1.0", "0.05",
// "1e+16", "1e-05", "-0.0", "5e-324"), for a double and for a JSON number
// token with a fraction or an exponent, read as float() reads it. The object
// walk and the text path both write a float as this string, so that a
// document gives the same canonical text as its json.loads() objects.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorl {

// What becomes of a float: refused (the dialect's own rule), or written as
// the string of its repr.
enum class FloatPolicy : std::uint8_t { Refuse, Str };

// Room that float_repr and float_token_text need at dst: a repr is at most
// 24 bytes, and it is written in whole words.
inline constexpr std::size_t kFloatTextMax = 48;

// Writes the repr of the finite x at dst; returns its length.
std::size_t float_repr(double x, char* dst) noexcept;

// What a number token t[0, len) is, as a float.
struct FloatTokenText {
  enum class Kind : std::uint8_t {
    NotFloat,  // not a JSON number with a fraction or an exponent, all of t
    Text,      // size bytes of repr written at dst
    Overflow,  // its double is an infinity (float("1e400"))
  };
  Kind kind = Kind::NotFloat;
  std::size_t size = 0;
};

// The repr of the double a float token stands for, correctly rounded as
// float() reads it. A token of at most 15 significant digits is its own
// shortest form, so it is rewritten without any binary conversion.
FloatTokenText float_token_text(const unsigned char* t, std::size_t len, char* dst) noexcept;

// The same for the number token that starts at p[i] (a '-' or a digit) in
// the text p[0, n), and where that token ends, as the gate splits tokens:
// the text is read once, whatever the token turns out to be.
struct FloatTokenAt {
  FloatTokenText text;
  std::size_t end = 0;
};
FloatTokenAt float_token_at(const unsigned char* p, std::size_t i, std::size_t n,
                            char* dst) noexcept;

}  // namespace quorl
