#include "native/refusals.h"

namespace quorl::native {

using capi::OwnedRef;

PyObject* set_refused_error(ModuleState& state, PyObject* type) {
  if (!PyType_Check(type) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type),
                                               reinterpret_cast<PyTypeObject*>(PyExc_ValueError))) {
    PyErr_SetString(PyExc_TypeError, "the refusal type must be a subclass of ValueError");
    return nullptr;
  }
  Py_XSETREF(state.refused_error, Py_NewRef(type));
  Py_RETURN_NONE;
}

namespace {

// RefusedError(message, line=..., column=..., offset=..., path=...); the
// class itself decides how it reads. Values may be None.
PyObject* raise_refused(const ModuleState& state, std::string_view message, PyObject* line,
                        PyObject* column, PyObject* offset, PyObject* path) {
  OwnedRef text(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return nullptr;
  if (state.refused_error == nullptr) {
    PyErr_SetObject(PyExc_ValueError, text.get());
    return nullptr;
  }
  // Held for the call: the class's own code runs, and may reset the state.
  const OwnedRef type(Py_NewRef(state.refused_error));
  OwnedRef args(PyTuple_Pack(1, text.get()));
  OwnedRef kwargs(
      Py_BuildValue("{sOsOsOsO}", "line", line, "column", column, "offset", offset, "path", path));
  if (!args || !kwargs) return nullptr;
  OwnedRef error(PyObject_Call(type.get(), args.get(), kwargs.get()));
  if (!error) return nullptr;
  PyErr_SetObject(type.get(), error.get());
  return nullptr;
}

OwnedRef size_or_none(std::size_t value, bool present) {
  if (!present) return OwnedRef(Py_NewRef(Py_None));
  return OwnedRef(PyLong_FromSize_t(value));
}

}  // namespace

Location location_of(const QuorlError& error) {
  const bool located = error.offset != kNoOffset;
  return {size_or_none(error.line, located), size_or_none(error.column, located),
          size_or_none(error.offset, located)};
}

PyObject* raise_refused_text(const ModuleState& state, const QuorlError& error) {
  const Location at = location_of(error);
  if (!at.ok()) return nullptr;
  return raise_refused(state, error.message, at.line.get(), at.column.get(), at.offset.get(),
                       Py_None);
}

PyObject* raise_refused_path(const ModuleState& state, std::string_view message,
                             std::string_view path) {
  OwnedRef where(
      PyUnicode_DecodeUTF8(path.data(), static_cast<Py_ssize_t>(path.size()), "replace"));
  if (!where) return nullptr;
  return raise_refused(state, message, Py_None, Py_None, Py_None, where.get());
}

}  // namespace quorl::native
