// What every part of quorl._native uses: the C-API layer (capi/) with the
// module's error policy and wording, documents taken from str or bytes-like
// objects, the floats argument, and the method tables of the parts. The C++
// that touches the Python C API is this folder, capi/ and the quorl_core
// module; the core below knows no Python.
//
// Reference discipline: OwnedRef holds every new reference; arguments and
// the UTF-8 views of str objects are borrowed for the duration of a call.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "base/result.h"
#include "capi/arguments.h"
#include "capi/boundary.h"
#include "capi/interpreter_lock.h"
#include "capi/owned_ref.h"
#include "core/rules/float_text.h"

namespace quorl::native {

using capi::OwnedRef;
using capi::without_lock;

// A broken invariant inside quorl._native is a SystemError.
struct NativeErrors {
  static PyObject* internal_failure(const char* what) noexcept {
    if (what == nullptr) {
      PyErr_SetString(PyExc_SystemError, "quorl._native failed internally");
    } else {
      PyErr_Format(PyExc_SystemError, "quorl._native failed internally: %s", what);
    }
    return nullptr;
  }
};

// The boundary around every function of the module (see capi/boundary.h).
template <class Body>
PyObject* guarded(Body&& body) {
  return capi::at_boundary<NativeErrors>(std::forward<Body>(body));
}

// Arguments, bound and read as the interpreter words its own errors.
using capi::as_cfunction;
using capi::bind;
using capi::Parameters;
using capi::size_argument;
using capi::str_argument;

// ---------------------------------------------------------------------------
// Documents: the text of a str, or the bytes of a bytes-like object.

class Document {
 public:
  Document() = default;
  Document(const Document&) = delete;
  Document& operator=(const Document&) = delete;
  // Releasing the buffer may run Python code (see capi/owned_ref.h).
  ~Document() noexcept(false);

  // Takes `value` as the argument `param`; false with an exception set.
  // A str gives its UTF-8 text (UnicodeEncodeError for a lone surrogate); a
  // bytes-like object its bytes, held through the buffer protocol.
  bool take(const char* param, PyObject* value);

  std::string_view text() const noexcept { return text_; }
  // Whether the bytes cannot change while the interpreter lock is released:
  // the text of a str, or the bytes of an exact bytes object (or of a
  // memoryview of one). Other buffers (bytearray, mmap, a bytes subclass,
  // which may export another object's buffer) are read only with the lock
  // held.
  bool immutable() const noexcept { return immutable_; }
  // Whether the text came from a str, and so is known to be valid UTF-8.
  bool from_str() const noexcept { return from_str_; }

 private:
  std::string_view text_;
  bool immutable_ = false;
  bool from_str_ = false;
  bool has_view_ = false;
  Py_buffer view_{};
};

// Documents at least this large are worked on with the interpreter lock
// released (when immutable): below it, releasing and taking back the lock
// costs more than other threads gain.
inline constexpr std::size_t kReleaseLockBytes = std::size_t{64} << 10;

inline bool may_release_lock(const Document& doc) noexcept {
  return doc.immutable() && doc.text().size() >= kReleaseLockBytes;
}

// The UTF-8 of a str (or subclass): the data itself for compact ASCII, the
// interpreter's cached UTF-8 otherwise. Null with UnicodeEncodeError set for
// a lone surrogate.
inline const char* utf8_of(PyObject* text, Py_ssize_t* size) {
  if (PyUnicode_IS_COMPACT_ASCII(text)) {
    *size = PyUnicode_GET_LENGTH(text);
    return static_cast<const char*>(PyUnicode_DATA(text));
  }
  return PyUnicode_AsUTF8AndSize(text, size);
}

// floats="refuse" (the default, value nullptr) or floats="str"; ValueError
// for anything else.
bool float_policy(PyObject* value, FloatPolicy* policy);

// ---------------------------------------------------------------------------
// Method tables of the module's parts, added to each module object. Each ends
// with a zeroed entry.
extern PyMethodDef kTextMethods[];
extern PyMethodDef kObjectMethods[];
extern PyMethodDef kBatchMethods[];
extern PyMethodDef kCheckMethods[];
extern PyMethodDef kSumsMethods[];
extern PyMethodDef kColumnMethods[];

}  // namespace quorl::native
