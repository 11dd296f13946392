// A strong reference, let go on every path out of its scope.
//
// Letting go of the last reference to an object may run Python code (a
// __del__), during which the interpreter may end the thread: so the
// destructor is noexcept(false), for that unwinding to pass through. A
// thread that holds no interpreter lock (being ended) lets go of nothing.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <utility>

#include "capi/interpreter_lock.h"

namespace quorl::capi {

// Py_DECREF, skipped by a thread that holds no interpreter lock.
inline void let_go(PyObject* object) noexcept(false) {
  if (object != nullptr && holds_lock()) Py_DECREF(object);
}

class OwnedRef {
 public:
  OwnedRef() noexcept = default;
  OwnedRef(std::nullptr_t) noexcept {}  // NOLINT: as a null pointer converts
  // Takes over a new reference (or null, which the interpreter's calls
  // return with an exception set).
  explicit OwnedRef(PyObject* object) noexcept : object_(object) {}
  OwnedRef(OwnedRef&& other) noexcept : object_(other.release()) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept(false) {
    reset(other.release());
    return *this;
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  ~OwnedRef() noexcept(false) { let_go(object_); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // The reference, handed to the caller.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  void reset(PyObject* object = nullptr) noexcept(false) { let_go(std::exchange(object_, object)); }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace quorl::capi
