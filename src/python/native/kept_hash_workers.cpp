#include "native/kept_hash_workers.h"

#include <new>

namespace quorl::native {

KeptHashWorkers::KeptHashWorkers() noexcept {
  pthread_atfork(&KeptHashWorkers::before_fork, &KeptHashWorkers::after_fork_in_parent,
                 &KeptHashWorkers::after_fork_in_child);
}

KeptHashWorkers& KeptHashWorkers::instance() noexcept {
  static KeptHashWorkers* const kept = new KeptHashWorkers();
  return *kept;
}

// The list and every worker stay locked from here until after the fork, so
// that nothing is lent, given back or handed a block meanwhile.
void KeptHashWorkers::before_fork() noexcept {
  KeptHashWorkers& kept = instance();
  kept.mutex_.lock();
  for (Kept* k = kept.first_; k != nullptr; k = k->next) k->worker.hold_for_fork();
}

void KeptHashWorkers::after_fork_in_parent() noexcept {
  KeptHashWorkers& kept = instance();
  for (Kept* k = kept.first_; k != nullptr; k = k->next) k->worker.resume_in_parent();
  kept.mutex_.unlock();
}

void KeptHashWorkers::after_fork_in_child() noexcept {
  KeptHashWorkers& kept = instance();
  const pthread_t self = pthread_self();
  for (Kept* k = kept.first_; k != nullptr; k = k->next) {
    const bool orphaned = k->lent && pthread_equal(k->borrower, self) == 0;
    k->worker.resume_in_child(orphaned);
    if (orphaned) k->lent = false;
  }
  kept.mutex_.unlock();  // held by this thread, the one that forked
}

HashWorker* KeptHashWorkers::borrow() noexcept {
  std::lock_guard lock(mutex_);
  Kept* free = first_;
  while (free != nullptr && free->lent) free = free->next;
  if (free == nullptr) {
    free = new (std::nothrow) Kept(first_);
    if (free == nullptr) return nullptr;
    first_ = free;
  }
  free->lent = true;
  free->borrower = pthread_self();
  return &free->worker;
}

void KeptHashWorkers::give_back(HashWorker* worker) noexcept {
  std::lock_guard lock(mutex_);
  for (Kept* k = first_; k != nullptr; k = k->next) {
    if (&k->worker == worker) k->lent = false;
  }
}

}  // namespace quorl::native
