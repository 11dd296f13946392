// The interpreter lock, for code that lets go of it while it works, and the
// rules a thread must keep for the interpreter to be able to end it.
//
// At exit, CPython ends a thread that asks for the lock back while the
// interpreter finalizes (3.12 and 3.13: pthread_exit, which unwinds the
// thread's stack). So does code that runs Python (a __str__, a __del__, a
// __buffer__) mid-call, since the interpreter may hand the lock to another
// thread at any bytecode. For that unwinding to reach the interpreter's own
// frames, nothing on the way may be noexcept or swallow it: boundaries let
// ForcedUnwind through, destructors that may run Python are noexcept(false),
// and a thread that holds no lock touches no Python object (it leaks them).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <utility>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace quorl::capi {

#if defined(__GLIBCXX__)
// The unwinding of pthread_exit and pthread_cancel: rethrown, never caught.
using ForcedUnwind = abi::__forced_unwind;
#else
// This runtime ends threads without unwinding them: nothing to let through.
struct ForcedUnwind {};
#endif

// Whether this thread holds the interpreter lock (has an attached thread
// state). False in a thread being ended by the interpreter, whose unwinding
// runs our destructors without it.
inline bool holds_lock() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return PyThreadState_GetUnchecked() != nullptr;
#else
  return _PyThreadState_UncheckedGet() != nullptr;
#endif
}

// The interpreter lock let go by this thread, to be taken back by retake().
class ReleasedLock {
 public:
  ReleasedLock() noexcept;
  // Takes the lock back. A thread that finalization began without ends here
  // (it waits forever, as the interpreter would end it); in the moment
  // before, the interpreter may still end it by unwinding from this call.
  void retake();

 private:
  PyThreadState* state_;
  bool finalizing_;  // already when the lock was let go: this thread finalizes
};

// Runs work() without the interpreter lock when release is true, else with
// it. work() must not touch Python objects; it hands its results out through
// its captures. A C++ exception it throws is carried past the retaking of
// the lock and rethrown after, so that the lock is never retaken in a
// destructor or an exception handler: an unwinding that starts there could
// not pass.
template <class Work>
void without_lock(bool release, Work&& work) {
  if (!release) {
    std::forward<Work>(work)();
    return;
  }
  ReleasedLock lock;
  std::exception_ptr failure;
  try {
    std::forward<Work>(work)();
  } catch (ForcedUnwind&) {
    throw;  // the thread is being ended: no lock to take back
  } catch (...) {
    failure = std::current_exception();
  }
  lock.retake();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace quorl::capi
