// How the object walk reports a fault: the first one met, recorded with
// the path of the value at fault as the walk unwinds, then raised.
#include <string>
#include <string_view>

#include "json/lex/string_escape.h"
#include "native/object_writer.h"

namespace quorl::native {

std::string ObjectWriter::key_segment(const char* key, std::size_t size) {
  std::string segment = "[";
  json::append_string_form(segment, std::string_view(key, size));
  segment.push_back(']');
  return segment;
}

bool ObjectWriter::refuse(std::string_view message) {
  fault_ = FaultKind::Refused;
  message_.assign(message);
  return false;
}

bool ObjectWriter::unsupported(const char* what, PyObject* obj, const char* after) {
  fault_ = FaultKind::Type;
  std::string name = Py_TYPE(obj)->tp_name;
  if (OwnedRef short_name{PyType_GetName(Py_TYPE(obj))}) {
    Py_ssize_t size = 0;
    if (const char* text = PyUnicode_AsUTF8AndSize(short_name.get(), &size))
      name.assign(text, static_cast<std::size_t>(size));
  }
  PyErr_Clear();
  message_ = std::string(what) + " '" + name + "'" + after;
  return false;
}

bool ObjectWriter::python_fault() noexcept {
  fault_ = FaultKind::Python;
  return false;
}

void ObjectWriter::raise_fault() {
  std::string path = "$";
  for (auto segment = path_.rbegin(); segment != path_.rend(); ++segment) path += *segment;
  switch (fault_) {
    case FaultKind::Refused:
      raise_refused_path(module_, message_, path);
      return;
    case FaultKind::Type: {
      const std::string text = message_ + " at " + path;
      OwnedRef message(
          PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
      if (message) PyErr_SetObject(PyExc_TypeError, message.get());
      return;
    }
    case FaultKind::Python:
    case FaultKind::None:
      break;
  }
  // The interpreter's own exception stands; where it arose is added as a
  // note (not to MemoryError, whose instances the interpreter reuses).
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "quorl._native: walk failed without an error");
    return;
  }
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) return;
  PyObject* raised = PyErr_GetRaisedException();
  const std::string note = "at " + path;
  OwnedRef result(PyObject_CallMethod(raised, "add_note", "s#", note.data(),
                                      static_cast<Py_ssize_t>(note.size())));
  if (!result) PyErr_Clear();
  PyErr_SetRaisedException(raised);
}

}  // namespace quorl::native
