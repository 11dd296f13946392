// Refusals as RefusedError, the class the quorl package hands to each
// interpreter's module as it is imported, kept in that module's state.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

#include "base/result.h"
#include "capi/owned_ref.h"

namespace quorl::native {

// The state of one module object: one per interpreter that imports it.
struct ModuleState {
  PyObject* refused_error;  // strong reference, or null until the package sets it
};

// The state of the module that a function of it was called through.
inline ModuleState& state_of(PyObject* module) noexcept {
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

// Stores the RefusedError class in the module's state; TypeError unless it
// is a subclass of ValueError.
PyObject* set_refused_error(ModuleState& state, PyObject* type);

// Where a text refusal lies, as Python ints (None each when not located).
struct Location {
  capi::OwnedRef line, column, offset;
  // False with an exception set when one could not be made.
  bool ok() const noexcept { return line && column && offset; }
};
Location location_of(const QuorlError& error);

// Raises RefusedError (ValueError until it is set) for a refusal of a text
// document: its message, line, column and offset as the core located it.
// Returns nullptr.
PyObject* raise_refused_text(const ModuleState& state, const QuorlError& error);
// Raises RefusedError for a refusal of a Python object, at `path`.
PyObject* raise_refused_path(const ModuleState& state, std::string_view message,
                             std::string_view path);

}  // namespace quorl::native
