// Arguments of METH_FASTCALL | METH_KEYWORDS functions: binding them to
// parameters, and reading str arguments, in one of two wordings for their
// errors. Bound arguments are borrowed from the caller for the call.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorl::capi {

// How argument errors read.
enum class Wording : std::uint8_t {
  // quorl_core's fixed texts: "f() takes 2 positional arguments but 3 were
  // given", "f() missing 2 required positional arguments: 'a' and 'b'",
  // "argument 'a': 'int' object cannot be converted to 'PyString'".
  Fixed,
  // As the interpreter words its own: "f() takes 1 positional argument but
  // 2 were given", "f() missing required argument 'a'", "argument 'a' must
  // be str, not 'int'".
  Interpreter,
};

struct Parameters {
  const char* function;      // Python name, shown as name() in messages
  const char* const* names;  // every parameter, in order
  std::size_t count;         // number of names
  std::size_t positional;    // the first `positional` may be given by position
  std::size_t required;      // the first `required` must be given
  Wording wording = Wording::Interpreter;
};

// Fills out[0..count) with the arguments (nullptr where not given).
// Positional ones fill from the left, keywords are taken in the caller's
// order (the first bad one is reported at once), missing ones last. False
// with TypeError set.
bool bind(const Parameters& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out);

// The UTF-8 text of a str argument (or subclass), borrowed from it for the
// call. False with an exception set: TypeError for anything else, and the
// UnicodeEncodeError of a lone surrogate (with Fixed, a TypeError from the
// conversion is prefixed with the parameter's name).
bool str_argument(const char* param, PyObject* value, std::string_view& out,
                  Wording wording = Wording::Interpreter);

// A size argument: an int (not a bool) that fits a size_t, or fallback for
// one not given or None. False with TypeError or OverflowError set.
bool size_argument(const char* param, PyObject* value, std::size_t fallback, std::size_t& out);

// A fast-call function as the PyCFunction a PyMethodDef holds: through
// void(*)(void) so the compiler accepts the change of signature; the
// method's flags tell the interpreter the real one.
template <class Function>
PyCFunction as_cfunction(Function* function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function));
}

}  // namespace quorl::capi
