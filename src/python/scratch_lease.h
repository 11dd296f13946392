// Per-thread working buffers of the direct path, shared by the extension
// modules' functions. Each thread keeps them from one call to the next:
// allocated afresh per call they cost more than the work on a mid-sized
// document, since the allocator hands the freed blocks back to the system
// and the next call faults every page in again.
#pragma once

#include <cstddef>

#include "core/direct_path.h"

namespace quorl::python {

// What a thread may keep after a call: a larger document's buffers are
// freed, so that one big call does not pin its memory for the thread's life.
inline constexpr std::size_t kScratchKeepBytes = std::size_t{4} << 20;

// The thread's scratch for one call, or a private one should a call ever
// begin while another on the same thread still holds it.
class ScratchLease {
 public:
  ScratchLease() noexcept : shared_(!in_use()) { in_use() = true; }
  ~ScratchLease() {
    if (!shared_) return;
    if (shared().held_bytes() > kScratchKeepBytes) shared().release();
    in_use() = false;
  }
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;

  DirectText& get() noexcept { return shared_ ? shared() : own_; }

 private:
  static DirectText& shared() noexcept {
    thread_local DirectText scratch;
    return scratch;
  }
  static bool& in_use() noexcept {
    thread_local bool flag = false;
    return flag;
  }

  bool shared_;
  DirectText own_;
};

}  // namespace quorl::python
