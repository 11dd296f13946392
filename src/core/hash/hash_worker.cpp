#include "core/hash/hash_worker.h"

#include <climits>
#include <csignal>
#include <cstdio>

#if defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <new>
#include <thread>

namespace quorl {

namespace {

// pthread_join returns once the thread has left its code, a moment before
// the kernel takes it out of the process: a fork in that moment forks a
// process of two threads (and the interpreter warns of it). Waited out
// here, 200 ms at most, where /proc tells.
constexpr int kReleaseChecks = 2000;
constexpr std::chrono::microseconds kReleaseCheckPause{100};

void wait_until_released(long tid) noexcept {
#if defined(__linux__)
  if (tid <= 0) return;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%ld", tid);
  for (int k = 0; k < kReleaseChecks && access(path, F_OK) == 0; ++k)
    std::this_thread::sleep_for(kReleaseCheckPause);
#else
  (void)tid;
#endif
}

}  // namespace

HashWorker::HashWorker(std::size_t block_bytes) noexcept
    : block_bytes_(std::max<std::size_t>(block_bytes, 1)) {}

HashWorker::~HashWorker() {
  bool started = false;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    started = thread_state_ != Thread::None;
  }
  changed_.notify_all();
  if (started) pthread_join(thread_, nullptr);
}

bool HashWorker::attach(Sha256& hash) noexcept {
  std::lock_guard lock(mutex_);
  join_ended();
  if (!blocks_) {
    blocks_.reset(new (std::nothrow) char[kBlocks * block_bytes_]);
    if (!blocks_) return false;
  }
  hash_ = &hash;
  return true;
}

char* HashWorker::filling() noexcept {
  // handed_ changes only on the feeder's side.
  return block(handed_);
}

bool HashWorker::hand_over(std::size_t size) noexcept {
  std::unique_lock lock(mutex_);
  if (thread_state_ != Thread::Running && !start()) return false;
  sizes_[handed_ % kBlocks] = size;
  ++handed_;
  changed_.notify_all();
  changed_.wait(lock, [this] { return handed_ - hashed_ < kBlocks; });
  return true;
}

void HashWorker::wait_until_hashed() noexcept {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return hashed_ == handed_; });
}

void HashWorker::detach() noexcept {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return hashed_ == handed_; });
  hash_ = nullptr;
  changed_.notify_all();  // the thread's idle time starts now
}

void HashWorker::hold_for_fork() noexcept {
  std::unique_lock lock(mutex_);
  const long tid = kernel_tid_;
  const bool had_thread = thread_state_ != Thread::None;
  if (thread_state_ == Thread::Running) {
    stopping_ = true;
    changed_.notify_all();
    // The thread hashes what was handed over, then ends; a pipe fed
    // meanwhile may start another, which does the same.
    changed_.wait(lock, [this] { return thread_state_ != Thread::Running && hashed_ == handed_; });
  }
  join_ended();
  stopping_ = false;
  if (had_thread) wait_until_released(tid);
  lock.release();  // until resume_in_parent or resume_in_child
}

void HashWorker::resume_in_parent() noexcept {
  mutex_.unlock();
}

void HashWorker::resume_in_child(bool forget_pipe) noexcept {
  // Threads that waited for the worker in the parent do not exist here.
  new (&changed_) std::condition_variable();
  kernel_tid_ = 0;
  if (forget_pipe) hash_ = nullptr;
  mutex_.unlock();  // held by this thread, the one that forked
}

// Under mutex_. A thread that ended on its own (idle) has nothing more to
// do with this worker, the lock included: joined here, it is gone.
void HashWorker::join_ended() noexcept {
  if (thread_state_ != Thread::Ended) return;
  pthread_join(thread_, nullptr);
  thread_state_ = Thread::None;
}

// Under mutex_.
bool HashWorker::start() noexcept {
  join_ended();
  // One core: the thread could only take turns with the feeder.
  if (std::thread::hardware_concurrency() < 2) return false;
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  const std::size_t stack = std::max<std::size_t>(kThreadStackBytes, PTHREAD_STACK_MIN);
  // Started with every signal blocked (it inherits the mask): signals stay
  // with the caller's threads, the Python interpreter's main one above all.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  const bool started = pthread_attr_setstacksize(&attributes, stack) == 0 &&
                       pthread_create(&thread_, &attributes, &HashWorker::run_thread, this) == 0;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  pthread_attr_destroy(&attributes);
  if (started) thread_state_ = Thread::Running;
  return started;
}

void* HashWorker::run_thread(void* worker) noexcept {
  static_cast<HashWorker*>(worker)->run();
  return nullptr;
}

void HashWorker::run() noexcept {
  std::unique_lock lock(mutex_);
#if defined(__linux__)
  kernel_tid_ = static_cast<long>(syscall(SYS_gettid));
#endif
  for (;;) {
    if (hashed_ < handed_) {
      const std::uint64_t k = hashed_;
      const char* bytes = block(k);
      const std::size_t size = sizes_[k % kBlocks];
      Sha256* hash = hash_;
      lock.unlock();
      hash->feed(bytes, size);
      lock.lock();
      ++hashed_;
      changed_.notify_all();
      continue;
    }
    if (stopping_) break;
    if (hash_ != nullptr) {  // a pipe being served waits as long as it takes
      changed_.wait(lock);
      continue;
    }
    // Between pipes, a while without one ends the thread and frees the blocks.
    const bool woken = changed_.wait_for(
        lock, kIdle, [this] { return hashed_ < handed_ || stopping_ || hash_ != nullptr; });
    if (!woken) {
      blocks_.reset();
      break;
    }
  }
  thread_state_ = Thread::Ended;
  changed_.notify_all();  // for hold_for_fork
}

}  // namespace quorl
