// decimal.Decimal as the object walk meets it: found only when the decimal
// module is already imported, and judged by the class's own predicates,
// never by a subclass's overrides.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "capi/owned_ref.h"

namespace quorl::native {

// decimal.Decimal when the decimal module has been imported (nothing can be
// a Decimal otherwise), else null; null with an exception set and *failed
// true on failure.
capi::OwnedRef imported_decimal_type(bool* failed);

enum class DecimalKind : std::uint8_t { Finite, NaN, Infinity };

// What the Decimal obj holds (NaN for quiet and signalling alike); false
// with an exception set when a predicate fails.
bool decimal_kind(PyObject* decimal_type, PyObject* obj, DecimalKind* kind);

}  // namespace quorl::native
