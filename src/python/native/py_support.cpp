#include "native/py_support.h"

#include <string>


namespace quorl::native {

namespace {

bool raise_type_error(const char* format, const char* function, const char* name) {
  PyErr_Format(PyExc_TypeError, format, function, name);
  return false;
}

// A memoryview made from raw memory has no base object.
bool is_exact_bytes(PyObject* base) noexcept {
  return base != nullptr && PyBytes_CheckExact(base);
}

}  // namespace

bool bind(const Parameters& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out) {
  for (std::size_t p = 0; p < params.count; ++p) out[p] = nullptr;
  if (nargs < 0 || static_cast<std::size_t>(nargs) > params.positional) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
                 params.function, static_cast<Py_ssize_t>(params.positional),
                 params.positional == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);  // borrowed
    std::size_t slot = params.count;
    for (std::size_t p = 0; p < params.count; ++p) {
      if (PyUnicode_CompareWithASCIIString(keyword, params.names[p]) == 0) {
        slot = p;
        break;
      }
    }
    if (slot == params.count) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                   params.function, keyword);
      return false;
    }
    if (out[slot] != nullptr)
      return raise_type_error("%s() got multiple values for argument '%s'", params.function,
                              params.names[slot]);
    out[slot] = args[nargs + k];
  }
  for (std::size_t p = 0; p < params.required; ++p) {
    if (out[p] == nullptr)
      return raise_type_error("%s() missing required argument '%s'", params.function,
                              params.names[p]);
  }
  return true;
}

Document::~Document() noexcept(false) {
  // A thread being ended holds no lock: the buffer is left as it is.
  if (has_view_ && capi::holds_lock()) PyBuffer_Release(&view_);
}

bool Document::take(const char* param, PyObject* value) {
  if (PyUnicode_Check(value)) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data == nullptr) return false;  // UnicodeEncodeError: a lone surrogate
    text_ = std::string_view(data, static_cast<std::size_t>(size));
    immutable_ = true;
    from_str_ = true;
    return true;
  }
  if (!PyObject_CheckBuffer(value)) {
    PyErr_Format(PyExc_TypeError,
                 "argument '%s' must be str or a bytes-like object, not '%.200s'", param,
                 Py_TYPE(value)->tp_name);
    return false;
  }
  if (PyObject_GetBuffer(value, &view_, PyBUF_SIMPLE) < 0) return false;
  has_view_ = true;
  text_ = std::string_view(static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len));
  // A bytes object cannot change, nor can a memoryview of one (our export
  // keeps the view from being released). A subclass of bytes may export
  // the buffer of any object (__buffer__), and every other exporter may
  // change its bytes.
  immutable_ = PyBytes_CheckExact(value) ||
               (PyMemoryView_Check(value) && is_exact_bytes(PyMemoryView_GET_BASE(value)));
  return true;
}

bool str_argument(const char* param, PyObject* value, std::string_view& out) {
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be str, not '%.200s'", param,
                 Py_TYPE(value)->tp_name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value, &size);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool float_policy(PyObject* value, FloatPolicy* policy) {
  *policy = FloatPolicy::Refuse;
  if (value == nullptr) return true;
  if (PyUnicode_Check(value)) {
    if (PyUnicode_CompareWithASCIIString(value, "refuse") == 0) return true;
    if (PyUnicode_CompareWithASCIIString(value, "str") == 0) {
      *policy = FloatPolicy::Str;
      return true;
    }
  }
  PyErr_Format(PyExc_ValueError, "floats must be \"refuse\" or \"str\", not %R", value);
  return false;
}

}  // namespace quorl::native
