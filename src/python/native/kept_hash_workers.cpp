#include "native/kept_hash_worker.h"

#include <pthread.h>

#include <new>

namespace quorl::native {

KeptHashWorker::KeptHashWorker() noexcept {
  // Before a fork the waiting thread is ended (when the worker is not
  // lent). A child has none of the parent's threads: the worker, whose lock
  // one of them may have held, is left as it is, and a new one made.
  pthread_atfork(&KeptHashWorker::before_fork, &KeptHashWorker::after_fork_in_parent,
                 &KeptHashWorker::forget_in_child);
}

KeptHashWorker& KeptHashWorker::instance() noexcept {
  static KeptHashWorker* const kept = new KeptHashWorker();
  return *kept;
}

void KeptHashWorker::before_fork() noexcept {
  KeptHashWorker& kept = instance();
  kept.held_for_fork_ = !kept.lent_.exchange(true, std::memory_order_acquire);
  if (kept.held_for_fork_ && kept.worker_ != nullptr) kept.worker_->end_idle_thread();
}

void KeptHashWorker::after_fork_in_parent() noexcept {
  KeptHashWorker& kept = instance();
  if (kept.held_for_fork_) kept.lent_.store(false, std::memory_order_release);
  kept.held_for_fork_ = false;
}

void KeptHashWorker::forget_in_child() noexcept {
  KeptHashWorker& kept = instance();
  kept.worker_ = nullptr;
  kept.lent_.store(false, std::memory_order_relaxed);
}

HashWorker* KeptHashWorker::borrow() noexcept {
  if (lent_.exchange(true, std::memory_order_acquire)) return nullptr;
  if (worker_ == nullptr) worker_ = new (std::nothrow) HashWorker(kBlockBytes);
  if (worker_ == nullptr) lent_.store(false, std::memory_order_release);
  return worker_;
}

void KeptHashWorker::give_back(HashWorker* /*worker*/) noexcept {
  lent_.store(false, std::memory_order_release);
}

}  // namespace quorl::native
