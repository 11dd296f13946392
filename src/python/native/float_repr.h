// The text float.__repr__ gives a finite double, without the interpreter's
// dtoa (which allocates, and is several times slower): the shortest digits
// that read back as the same double, in fixed notation when the decimal
// exponent allows it and "1e+16"-style notation otherwise.
#pragma once

#include <cstddef>

namespace quorl::native {

// Room that float_repr needs at dst.
inline constexpr std::size_t kFloatReprMax = 32;

// Writes the repr of the finite x at dst; returns its length.
std::size_t float_repr(double x, char* dst) noexcept;

}  // namespace quorl::native
