// Per-thread working buffers of the direct path, shared by the extension
// modules' functions. Each thread keeps them from one call to the next:
// allocated afresh per call they cost more than the work on a mid-sized
// document, since the allocator hands the freed blocks back to the system
// and the next call faults every page in again.
#pragma once

#include <cstddef>

#include "core/direct_path.h"

namespace quorl::python {

// The thread's scratch of type Scratch for one call, or a private one should
// a call begin while another on the same thread still holds it (a Python
// callback re-entering). After a call the thread keeps what the scratch
// holds up to keep_bytes, so that one big call does not pin its memory for
// the thread's life. Scratch has held_bytes() and release(); when it also
// has end_call(), that runs first, on every lease.
template <class Scratch, std::size_t keep_bytes>
class ThreadScratchLease {
 public:
  ThreadScratchLease() noexcept : shared_(!in_use()) { in_use() = true; }
  ~ThreadScratchLease() {
    if constexpr (requires(Scratch& s) { s.end_call(); }) get().end_call();
    if (!shared_) return;
    if (shared().held_bytes() > keep_bytes) shared().release();
    in_use() = false;
  }
  ThreadScratchLease(const ThreadScratchLease&) = delete;
  ThreadScratchLease& operator=(const ThreadScratchLease&) = delete;

  Scratch& get() noexcept { return shared_ ? shared() : own_; }

 private:
  static Scratch& shared() noexcept {
    thread_local Scratch scratch;
    return scratch;
  }
  static bool& in_use() noexcept {
    thread_local bool flag = false;
    return flag;
  }

  bool shared_;
  Scratch own_;
};

// What a thread keeps between calls, at most: half a MiB for the direct
// path's buffers and half for the object walk's, so that a thread that has
// used both holds 1 MiB at most once idle (and nothing once it ends: the
// scratch is thread_local). Documents up to a few hundred KB, the usual
// call, keep their buffers; larger ones cost little more than their work to
// allocate afresh.
inline constexpr std::size_t kScratchKeepBytes = std::size_t{512} << 10;
using ScratchLease = ThreadScratchLease<DirectText, kScratchKeepBytes>;

}  // namespace quorl::python
