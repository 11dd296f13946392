// The boundary between C++ and the interpreter, around the body of every
// function the interpreter calls. Running out of memory is a MemoryError;
// any other escaping exception is a broken invariant, which the module's
// error policy turns into its own exception. The unwinding by which the
// interpreter ends a thread passes through (see interpreter_lock.h): the
// boundary is not noexcept, and bodies never retake the lock in a
// destructor, so any exception caught here is caught with the lock held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <utility>

#include "capi/interpreter_lock.h"

namespace quorl::capi {

// Policy: a type with a static `PyObject* internal_failure(const char*
// what)` that raises the module's exception for a broken invariant (what
// is null when the exception has no text) and returns null.
template <class Policy, class Body>
PyObject* at_boundary(Body&& body) {
  try {
    return std::forward<Body>(body)();
  } catch (ForcedUnwind&) {
    throw;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& failure) {
    return Policy::internal_failure(failure.what());
  } catch (...) {
    return Policy::internal_failure(nullptr);
  }
}

}  // namespace quorl::capi
