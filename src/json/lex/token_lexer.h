// Number tokens and literals as the JSON grammar has them, shared by the
// strict reader (which turns a number into its value and reports each fault
// with its message and position) and the direct path (which takes only
// plain integers and steps aside on anything else).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "json/lex/byte_scan.h"
#include "json/reader/json_error.h"

namespace quorl::json {

// The parts of a number token: its digit runs, [begin, end) each (empty
// when the part is absent), and where it ends; or its fault, with the
// message and the position (bytes consumed) the reader reports.
struct NumberToken {
  std::size_t int_begin = 0, int_end = 0;
  bool has_fraction = false;
  std::size_t frac_begin = 0, frac_end = 0;
  bool has_exponent = false;
  bool exponent_negative = false;
  std::size_t exp_begin = 0, exp_end = 0;
  std::size_t end = 0;
  Message fault;  // code None: no fault
  std::size_t fault_at = 0;

  bool plain_integer() const noexcept {
    return fault.code == Fault::None && !has_fraction && !has_exponent;
  }
};

// The number whose first digit (after any minus sign) is at p[i]: every
// shape and fault. Out of line; lex_number settles the common integer.
[[gnu::noinline]] inline NumberToken lex_number_in_full(const unsigned char* p, std::size_t n,
                                                        std::size_t i) noexcept {
  NumberToken t;
  const auto fault = [&t, n](Message message, std::size_t at) {
    t.fault = message;
    t.fault_at = at;
    t.end = at < n ? at : n;
    return t;
  };
  if (i == n) [[unlikely]]
    return fault(msg::kEofValue, i);
  t.int_begin = i;
  const unsigned char first = p[i++];
  if (first == '0') {
    // The byte after a leading zero counts as consumed.
    if (i < n && is_digit(p[i])) [[unlikely]]
      return fault(msg::kInvalidNumber, i + 1);
  } else if (is_digit(first)) [[likely]] {
    i = skip_digits(p, i, n);
  } else {
    return fault(msg::kInvalidNumber, i);
  }
  t.int_end = i;
  if (i < n && p[i] == '.') {
    t.has_fraction = true;
    t.frac_begin = ++i;
    i = skip_digits(p, i, n);
    t.frac_end = i;
    if (i == t.frac_begin) [[unlikely]]
      return fault(i == n ? msg::kEofValue : msg::kInvalidNumber, i == n ? i : i + 1);
  }
  if (i < n && (p[i] == 'e' || p[i] == 'E')) {
    t.has_exponent = true;
    ++i;
    if (i < n && (p[i] == '+' || p[i] == '-')) {
      t.exponent_negative = p[i] == '-';
      ++i;
    }
    if (i == n) [[unlikely]]
      return fault(msg::kEofValue, i);
    if (!is_digit(p[i])) [[unlikely]]
      return fault(msg::kInvalidNumber, i + 1);
    t.exp_begin = i;
    i = skip_digits(p, i, n);
    t.exp_end = i;
  }
  t.end = i;
  return t;
}

// The number whose first digit (after any minus sign) is at p[i]. Inline
// for the integer of small records, which is most numbers: digits that do
// not start with a zero (or a lone zero), then no fraction or exponent.
[[gnu::always_inline]] inline NumberToken lex_number(const unsigned char* p, std::size_t n,
                                                     std::size_t i) noexcept {
  if (i < n && is_digit(p[i])) [[likely]] {
    const std::size_t end = p[i] == '0' ? i + 1 : skip_digits(p, i + 1, n);
    if (end == n || (p[end] != '.' && p[end] != 'e' && p[end] != 'E' && !is_digit(p[end])))
        [[likely]] {
      NumberToken t;
      t.int_begin = i;
      t.int_end = end;
      t.end = end;
      return t;
    }
  }
  return lex_number_in_full(p, n, i);
}

// Where the literal `word` at p[i] stops matching: the whole word read
// (end just past it, no fault), or the fault and its position as the reader
// reports it. The first letter is known to match.
struct LiteralEnd {
  std::size_t end;
  Message fault;  // code None: the word matched
};

inline LiteralEnd lex_literal(const unsigned char* p, std::size_t n, std::size_t i,
                              std::string_view word) noexcept {
  if (n - i >= word.size() && std::memcmp(p + i, word.data(), word.size()) == 0) [[likely]]
    return {i + word.size(), {}};
  ++i;
  for (std::size_t k = 1; k < word.size(); ++k) {
    if (i == n) return {i, msg::kEofValue};
    if (p[i++] != static_cast<unsigned char>(word[k])) return {i, msg::kExpectedIdent};
  }
  return {i, {}};
}

}  // namespace quorl::json
