// The process's kept HashWorkers, each lent to one object digest at a time.
// A worker's thread waits between digests (and ends after a while without
// one), so a digest of a few hundred KB pays a wake-up for its second
// thread, not a thread's start. A digest that finds every kept worker lent
// (digests on several threads at once) adds one.
//
// Python code may run in the middle of a digest, and may fork. Around a
// fork every kept worker's thread is ended after hashing what it was
// handed (so the process forks with the threads it would have without us),
// and in the child, which has none of the parent's threads, a worker lent
// to another thread than the forking one is taken back: a fork at any
// moment leaves a child that can digest, the forking thread's digest
// included.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <mutex>

#include "core/hash/hash_pipe.h"

namespace quorl::native {

class KeptHashWorkers final : public HashWorkerLender {
 public:
  // The object walk hands its output over in runs of about this size;
  // blocks of the same keep the hash close behind it.
  static constexpr std::size_t kBlockBytes = std::size_t{64} << 10;

  // The one of this process, made at first use and never destroyed: threads
  // of the interpreter may still be digesting while the process exits.
  static KeptHashWorkers& instance() noexcept;

  // Null only when no worker can be made (no memory).
  HashWorker* borrow() noexcept override;
  void give_back(HashWorker* worker) noexcept override;

 private:
  struct Kept {
    explicit Kept(Kept* after) noexcept : worker(kBlockBytes), next(after) {}
    HashWorker worker;
    Kept* next;
    bool lent = false;
    pthread_t borrower{};  // while lent
  };

  KeptHashWorkers() noexcept;
  static void before_fork() noexcept;
  static void after_fork_in_parent() noexcept;
  static void after_fork_in_child() noexcept;

  std::mutex mutex_;       // over the list and its lent flags
  Kept* first_ = nullptr;  // never shrinks: a worker idle for long holds no thread or blocks
};

}  // namespace quorl::native
