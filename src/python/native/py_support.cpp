#include "native/py_support.h"

namespace quorl::native {

namespace {

// A memoryview made from raw memory has no base object.
bool is_exact_bytes(PyObject* base) noexcept {
  return base != nullptr && PyBytes_CheckExact(base);
}

}  // namespace

Document::~Document() noexcept(false) {
  // A thread being ended holds no lock: the buffer is left as it is.
  if (has_view_ && capi::holds_lock()) PyBuffer_Release(&view_);
}

bool Document::take(const char* param, PyObject* value) {
  if (PyUnicode_Check(value)) {
    Py_ssize_t size = 0;
    const char* data = utf8_of(value, &size);
    if (data == nullptr) return false;  // UnicodeEncodeError: a lone surrogate
    text_ = std::string_view(data, static_cast<std::size_t>(size));
    immutable_ = true;
    from_str_ = true;
    return true;
  }
  if (!PyObject_CheckBuffer(value)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be str or a bytes-like object, not '%.200s'",
                 param, Py_TYPE(value)->tp_name);
    return false;
  }
  if (PyObject_GetBuffer(value, &view_, PyBUF_SIMPLE) < 0) return false;
  has_view_ = true;
  text_ =
      std::string_view(static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len));
  // A bytes object cannot change, nor can a memoryview of one (our export
  // keeps the view from being released). A subclass of bytes may export
  // the buffer of any object (__buffer__), and every other exporter may
  // change its bytes.
  immutable_ = PyBytes_CheckExact(value) ||
               (PyMemoryView_Check(value) && is_exact_bytes(PyMemoryView_GET_BASE(value)));
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
