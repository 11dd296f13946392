// Per-thread working buffers (the direct path's, the object walk's), lent to
// one call at a time. Each thread keeps them from one call to the next:
// allocated afresh per call they cost more than the work on a mid-sized
// document, since the allocator hands the freed blocks back to the system
// and the next call faults every page in again.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <mutex>
#include <type_traits>
#include <utility>

namespace quorl {

// A scratch that outgrew what a thread keeps is parked, one per process,
// for the next call on a large document from any thread: a loop of calls on
// documents of a few MB then reuses its buffers instead of faulting fresh
// memory in for each call (on this kind of VM that costs more than reading
// the document), while idle threads hold only what they keep. Larger ones
// are freed: huge pages make their faults cheap.
inline constexpr std::size_t kParkedScratchMaxBytes = std::size_t{32} << 20;

// The thread's scratch of type Scratch for one call, or a private one should
// a call begin while another on the same thread still holds it (a Python
// callback re-entering). After a call the thread keeps what the scratch
// holds up to keep_bytes, so that one big call does not pin its memory for
// the thread's life. Scratch has held_bytes() and release(), and is
// swappable; when it also has end_call(), that runs first, on every lease.
template <class Scratch, std::size_t keep_bytes>
class ThreadScratchLease {
 public:
  // expected_bytes: the size of the document the call reads, when known. A
  // call on a document larger than keep_bytes takes the parked scratch, and
  // parks its own at the end.
  explicit ThreadScratchLease(std::size_t expected_bytes = 0) noexcept
      : shared_(!in_use()), large_(expected_bytes > keep_bytes) {
    in_use() = true;
    if constexpr (kParks) {
      if (large_) adopt_parked(get());
    }
  }
  ~ThreadScratchLease() {
    Scratch& scratch = get();
    if constexpr (requires(Scratch & s) { s.end_call(); }) scratch.end_call();
    const std::size_t held = scratch.held_bytes();
    if (held > keep_bytes) {
      if constexpr (kParks) {
        if (large_ && held <= kParkedScratchMaxBytes) park(scratch);
      }
      scratch.release();  // what it holds now, if anything, is not kept
    }
    if (shared_) in_use() = false;
  }
  ThreadScratchLease(const ThreadScratchLease&) = delete;
  ThreadScratchLease& operator=(const ThreadScratchLease&) = delete;

  Scratch& get() noexcept { return shared_ ? shared() : own_; }

 private:
  // Only a scratch that can be swapped whole is parked.
  static constexpr bool kParks = std::is_nothrow_swappable_v<Scratch>;

  static Scratch& shared() noexcept {
    thread_local Scratch scratch;
    return scratch;
  }
  static bool& in_use() noexcept {
    thread_local bool flag = false;
    return flag;
  }

  // The process's parked scratch, its lock, and whether it holds anything
  // (read without the lock, so that a call that finds nothing pays nothing).
  // The lock is held across a fork, so that the child (which has only the
  // forking thread) never finds it held by a thread it does not have.
  struct Parked {
    Parked() noexcept { pthread_atfork(&lock_for_fork, &unlock_after_fork, &unlock_after_fork); }
    std::mutex lock;
    std::atomic<bool> full{false};
    Scratch scratch;
  };
  static Parked& parked() noexcept {
    static Parked p;
    return p;
  }
  static void lock_for_fork() noexcept { parked().lock.lock(); }
  static void unlock_after_fork() noexcept { parked().lock.unlock(); }
  static void adopt_parked(Scratch& scratch) noexcept {
    Parked& p = parked();
    if (!p.full.load(std::memory_order_relaxed)) return;
    std::lock_guard<std::mutex> guard(p.lock);
    if (!p.full.load(std::memory_order_relaxed)) return;
    std::swap(scratch, p.scratch);  // the thread's small one goes there
    p.full.store(false, std::memory_order_relaxed);
  }
  // Leaves scratch with what was parked before, for the caller to free.
  static void park(Scratch& scratch) noexcept {
    Parked& p = parked();
    std::lock_guard<std::mutex> guard(p.lock);
    std::swap(scratch, p.scratch);
    p.full.store(true, std::memory_order_relaxed);
  }

  bool shared_;
  bool large_;
  Scratch own_;
};

// What a thread keeps between calls, at most: half a MiB for the direct
// path's buffers and half for the object walk's, so that a thread that has
// used both holds 1 MiB at most once idle (and nothing once it ends: the
// scratch is thread_local). Documents up to a few hundred KB, the usual
// call, keep their buffers; larger ones cost little more than their work to
// allocate afresh.
inline constexpr std::size_t kScratchKeepBytes = std::size_t{512} << 10;

}  // namespace quorl
