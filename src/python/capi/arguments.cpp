#include "capi/arguments.h"

#include <string>

#include "capi/owned_ref.h"

namespace quorl::capi {

namespace {

bool too_many_positional(const Parameters& params, Py_ssize_t given) {
  const auto takes = static_cast<Py_ssize_t>(params.positional);
  const char* were = given == 1 ? "was" : "were";
  if (params.wording == Wording::Fixed) {
    // "arguments" stays plural even for one parameter; only "was" follows the count.
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd %s given",
                 params.function, takes, given, were);
  } else {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
                 params.function, takes, takes == 1 ? "" : "s", given, were);
  }
  return false;
}

// Fixed: every missing parameter, quoted and joined; otherwise the first.
bool missing(const Parameters& params, PyObject* const* out) {
  std::size_t count = 0;
  std::string names;
  for (std::size_t p = 0; p < params.required; ++p) {
    if (out[p] != nullptr) continue;
    if (params.wording == Wording::Interpreter) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", params.function,
                   params.names[p]);
      return false;
    }
    if (count != 0) names += " and ";
    names += '\'';
    names += params.names[p];
    names += '\'';
    ++count;
  }
  if (count == 0) return true;
  PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional %s: %s", params.function,
               static_cast<Py_ssize_t>(count), count == 1 ? "argument" : "arguments",
               names.c_str());
  return false;
}

// An argument of the wrong type, named by its type's qualified name.
void raise_not_convertible(PyObject* value, const char* target) {
  OwnedRef qualname(PyType_GetQualName(Py_TYPE(value)));
  if (!qualname || !PyUnicode_Check(qualname.get())) {
    // The name is decoration; the TypeError itself must still be raised.
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'",
                 "<failed to extract type name>", target);
    return;
  }
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname.get(), target);
}

// Prefixes a pending conversion error with the parameter it concerns. Only an
// exact TypeError is rewritten (keeping its cause); anything else, such as the
// UnicodeEncodeError of a lone surrogate, reaches the caller untouched.
void wrap_argument_error(const char* param) {
  OwnedRef original(PyErr_GetRaisedException());
  if (!original) return;  // nothing pending: nothing to wrap
  if (Py_TYPE(original.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(original.release());  // steals the reference back
    return;
  }
  OwnedRef message(PyUnicode_FromFormat("argument '%s': %S", param, original.get()));
  if (!message) return;  // the interpreter's own error replaces the original
  PyErr_SetObject(PyExc_TypeError, message.get());
  OwnedRef wrapped(PyErr_GetRaisedException());
  if (Py_TYPE(wrapped.get()) == reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    // GetCause returns a new reference (or null) and SetCause steals it.
    PyException_SetCause(wrapped.get(), PyException_GetCause(original.get()));
  }
  // Otherwise building the TypeError failed and its error goes out as it is.
  PyErr_SetRaisedException(wrapped.release());
}

}  // namespace

bool bind(const Parameters& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out) {
  for (std::size_t p = 0; p < params.count; ++p) out[p] = nullptr;
  if (nargs < 0 || static_cast<std::size_t>(nargs) > params.positional)
    return too_many_positional(params, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  // Keyword values follow the positional ones in args.
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(keyword)) {
      // Unreachable from Python code: the call protocol hands over str names only.
      PyErr_SetString(PyExc_TypeError, "keywords must be strings");
      return false;
    }
    std::size_t slot = params.count;
    for (std::size_t p = 0; p < params.count; ++p) {
      // Compares by value (str subclasses, embedded NULs) and never fails.
      if (PyUnicode_CompareWithASCIIString(keyword, params.names[p]) == 0) {
        slot = p;
        break;
      }
    }
    if (slot == params.count) {
      // The keyword is echoed as the caller spelled it, whatever characters it holds.
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", params.function,
                   keyword);
      return false;
    }
    if (out[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", params.function,
                   params.names[slot]);
      return false;
    }
    out[slot] = args[nargs + k];
  }
  return missing(params, out);
}

bool str_argument(const char* param, PyObject* value, std::string_view& out, Wording wording) {
  const bool fixed = wording == Wording::Fixed;
  if (!PyUnicode_Check(value)) {
    if (fixed) {
      raise_not_convertible(value, "PyString");
      wrap_argument_error(param);
    } else {
      PyErr_Format(PyExc_TypeError, "argument '%s' must be str, not '%.200s'", param,
                   Py_TYPE(value)->tp_name);
    }
    return false;
  }
  // Read in place from the interpreter's cached UTF-8 form.
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value, &size);
  if (data == nullptr) {
    if (fixed) wrap_argument_error(param);
    return false;
  }
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool size_argument(const char* param, PyObject* value, std::size_t fallback, std::size_t& out) {
  out = fallback;
  if (value == nullptr || value == Py_None) return true;
  if (!PyLong_Check(value) || PyBool_Check(value)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be int, not '%.200s'", param,
                 Py_TYPE(value)->tp_name);
    return false;
  }
  const std::size_t number = PyLong_AsSize_t(value);
  if (number == static_cast<std::size_t>(-1) && PyErr_Occurred()) return false;
  out = number;
  return true;
}

}  // namespace quorl::capi
