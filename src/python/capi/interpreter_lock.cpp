#include "capi/interpreter_lock.h"

#include <unistd.h>

namespace quorl::capi {

namespace {

bool finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

// The interpreter's own fate for such a thread, without its unwinding
// (CPython 3.14 does the same). pause() returns after a signal handler.
[[noreturn]] void wait_forever() noexcept {
  for (;;) pause();
}

}  // namespace

ReleasedLock::ReleasedLock() noexcept : finalizing_(finalizing()) {
  state_ = PyEval_SaveThread();
}

void ReleasedLock::retake() {
  // Finalization that began while the lock was let go is another thread's:
  // the interpreter is going away under this one.
  if (!finalizing_ && finalizing()) wait_forever();
  PyEval_RestoreThread(state_);
}

}  // namespace quorl::capi
