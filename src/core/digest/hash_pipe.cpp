#include "core/digest/hash_pipe.h"

#include <climits>
#include <csignal>

#include <algorithm>
#include <cstring>
#include <new>
#include <thread>

namespace quorl {

HashPipe::HashPipe(Sha256& hash, std::size_t block_bytes) noexcept
    : hash_(hash), start_(hash), block_bytes_(std::max<std::size_t>(block_bytes, 1)) {}

HashPipe::~HashPipe() { stop(); }

void HashPipe::feed(const void* data, std::size_t size) noexcept {
  if (!blocks_ && !direct_) {
    blocks_.reset(new (std::nothrow) char[kBlocks * block_bytes_]);
    direct_ = !blocks_;
  }
  if (direct_) {
    hash_.feed(data, size);
    return;
  }
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const std::size_t n = std::min(size, block_bytes_ - filled_);
    std::memcpy(block(handed_) + filled_, bytes, n);
    filled_ += n;
    bytes += n;
    size -= n;
    if (filled_ == block_bytes_) {
      hand_over();
      if (direct_) {
        hash_.feed(bytes, size);
        return;
      }
    }
  }
}

bool HashPipe::start() noexcept {
  // One core: the thread could only take turns with the reader.
  if (std::thread::hardware_concurrency() < 2) return false;
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  const std::size_t stack = std::max<std::size_t>(kThreadStackBytes, PTHREAD_STACK_MIN);
  // Started with every signal blocked (it inherits the mask): signals stay
  // with the caller's threads, the Python interpreter's main one above all.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  running_ = pthread_attr_setstacksize(&attributes, stack) == 0 &&
             pthread_create(&thread_, &attributes, &HashPipe::run_thread, this) == 0;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  pthread_attr_destroy(&attributes);
  used_thread_ = used_thread_ || running_;
  return running_;
}

void* HashPipe::run_thread(void* pipe) noexcept {
  static_cast<HashPipe*>(pipe)->run();
  return nullptr;
}

void HashPipe::hand_over() noexcept {
  if (!running_ && !start()) {
    // No thread to be had: this block, and what follows, hashed here.
    hash_.feed(block(handed_), filled_);
    filled_ = 0;
    direct_ = true;
    return;
  }
  std::unique_lock lock(mutex_);
  sizes_[handed_ % kBlocks] = filled_;
  ++handed_;
  changed_.notify_all();
  // The next block to fill must be free.
  changed_.wait(lock, [this] { return handed_ - hashed_ < kBlocks; });
  filled_ = 0;
}

void HashPipe::wait_until_hashed() noexcept {
  if (!running_) return;
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return hashed_ == handed_; });
}

void HashPipe::restart() noexcept {
  wait_until_hashed();
  filled_ = 0;
  hash_ = start_;
}

void HashPipe::finish() noexcept {
  stop();
  if (filled_ > 0) {
    // The block being filled: what the thread never got.
    hash_.feed(block(handed_), filled_);
    filled_ = 0;
  }
}

void HashPipe::stop() noexcept {
  if (!running_) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  pthread_join(thread_, nullptr);
  running_ = false;
}

void HashPipe::run() noexcept {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return hashed_ < handed_ || stopping_; });
    if (hashed_ == handed_) return;  // stopping, and nothing left
    const std::uint64_t k = hashed_;
    lock.unlock();
    hash_.feed(block(k), sizes_[k % kBlocks]);
    lock.lock();
    ++hashed_;
    changed_.notify_all();
  }
}

}  // namespace quorl
