// The process's kept HashWorker, lent to one digest at a time: its thread
// waits between digests (and ends after a while without one), so a digest
// of a few hundred KB pays a wake-up for its second thread, not a thread's
// start. A digest that finds it lent makes a worker of its own. A fork
// ends the waiting thread first, so that the process forks with the
// threads it would have without us (the interpreter warns of others).
#pragma once

#include <atomic>
#include <cstddef>

#include "core/digest/hash_pipe.h"

namespace quorl::native {

class KeptHashWorker final : public HashWorkerLender {
 public:
  // The object walk hands its output over in runs of about this size;
  // blocks of the same keep the hash close behind it.
  static constexpr std::size_t kBlockBytes = std::size_t{64} << 10;

  // The one of this process, made at first use and never destroyed: threads
  // of the interpreter may still be digesting while the process exits.
  static KeptHashWorker& instance() noexcept;

  HashWorker* borrow() noexcept override;
  void give_back(HashWorker* worker) noexcept override;

 private:
  KeptHashWorker() noexcept;
  static void before_fork() noexcept;
  static void after_fork_in_parent() noexcept;
  static void forget_in_child() noexcept;

  std::atomic<bool> lent_{false};
  bool held_for_fork_ = false;  // lent to the fork, between its handlers
  HashWorker* worker_ = nullptr;  // made at the first borrow
};

}  // namespace quorl::native
