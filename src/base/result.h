// Result<T, E>: a value or one error, the core's only way to report failure.
// The core never throws for an ordinary failure; callers test ok() and take
// either value() or error().
#pragma once

#include <cstddef>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "base/messages.h"

namespace quorl {

// No location: the failure was not met while reading a text.
inline constexpr std::size_t kNoOffset = static_cast<std::size_t>(-1);

// The core's failure: one fixed English message, and where in the source text
// the fault lies when a stage that read the text found it. The location is
// never part of the message.
struct QuorlError {
  std::string message;
  // 0-based byte offset of the token, bracket or tag object at fault.
  std::size_t offset = kNoOffset;
  // Its line (1-based) and column (1-based, in bytes). For a reader fault
  // these are the reader's own, as its message states them (column 0 when
  // nothing of the line was consumed).
  std::size_t line = 0;
  std::size_t column = 0;
  // Which fixed message it is (for the reader's faults, the reader's own,
  // under the invalid-JSON prefix).
  Fault code = Fault::None;
  friend bool operator==(const QuorlError&, const QuorlError&) = default;
};

// Wraps an error so that Result's constructor can tell it from a value even
// when T and E are the same type.
template <class E>
struct Failure {
  E error;
};
template <class E>
Failure<std::decay_t<E>> fail(E&& error) {
  return {std::forward<E>(error)};
}

template <class T, class E = QuorlError>
class [[nodiscard]] Result {
 public:
  Result(T value)
      : data_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit on purpose
  template <class F>
  Result(Failure<F> failure)  // NOLINT: implicit on purpose
      : data_(std::in_place_index<1>, std::move(failure.error)) {}

  bool ok() const noexcept { return data_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & { return std::get<0>(data_); }
  const T& value() const& { return std::get<0>(data_); }
  T&& value() && { return std::get<0>(std::move(data_)); }
  E& error() & { return std::get<1>(data_); }
  const E& error() const& { return std::get<1>(data_); }
  E&& error() && { return std::get<1>(std::move(data_)); }

 private:
  std::variant<T, E> data_;
};

// Success without a value.
struct Unit {};

}  // namespace quorl
