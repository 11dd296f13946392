#include "core/digest/hash_pipe.h"

#include <pthread.h>

#include <climits>
#include <csignal>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

namespace quorl {

struct HashPipe::Ring {
  Ring(Sha256& hash, std::size_t block_bytes, std::unique_ptr<char[]> storage) noexcept
      : hash(hash), block_bytes(block_bytes), blocks(std::move(storage)) {}

  char* block(std::uint64_t k) noexcept { return blocks.get() + (k % kBlocks) * block_bytes; }
  bool start() noexcept;
  void stop() noexcept;
  void wait_until_hashed() noexcept;
  void run() noexcept;
  static void* run_thread(void* ring) noexcept;

  Sha256& hash;  // written by the thread while it runs, by the feeder otherwise
  const std::size_t block_bytes;
  std::unique_ptr<char[]> blocks;  // kBlocks of block_bytes
  std::size_t filled = 0;          // bytes in the block being filled, block(handed)
  std::size_t sizes[kBlocks] = {};
  // Under mutex:
  std::uint64_t handed = 0;  // blocks handed over
  std::uint64_t hashed = 0;  // of those, blocks hashed
  bool stopping = false;
  std::mutex mutex;
  std::condition_variable changed;
  // A POSIX thread rather than std::thread: its state needs no heap block
  // freed on the new thread, which would give that thread a malloc arena of
  // its own (64 MiB of address space), and its stack size can be set.
  pthread_t thread{};
  bool running = false;
};

void HashPipe::RingDelete::operator()(Ring* ring) const noexcept {
  ring->stop();
  delete ring;
}

bool HashPipe::Ring::start() noexcept {
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
  running = pthread_attr_setstacksize(&attributes, stack) == 0 &&
            pthread_create(&thread, &attributes, &Ring::run_thread, this) == 0;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  pthread_attr_destroy(&attributes);
  return running;
}

void* HashPipe::Ring::run_thread(void* ring) noexcept {
  static_cast<Ring*>(ring)->run();
  return nullptr;
}

void HashPipe::Ring::run() noexcept {
  std::unique_lock lock(mutex);
  for (;;) {
    changed.wait(lock, [this] { return hashed < handed || stopping; });
    if (hashed == handed) return;  // stopping, and nothing left
    const std::uint64_t k = hashed;
    lock.unlock();
    hash.feed(block(k), sizes[k % kBlocks]);
    lock.lock();
    ++hashed;
    changed.notify_all();
  }
}

void HashPipe::Ring::wait_until_hashed() noexcept {
  if (!running) return;
  std::unique_lock lock(mutex);
  changed.wait(lock, [this] { return hashed == handed; });
}

void HashPipe::Ring::stop() noexcept {
  if (!running) return;
  {
    std::lock_guard lock(mutex);
    stopping = true;
  }
  changed.notify_all();
  pthread_join(thread, nullptr);
  running = false;
}

HashPipe::HashPipe(Sha256& hash, std::size_t block_bytes, std::size_t here_bytes) noexcept
    : hash_(hash),
      start_(hash),
      block_bytes_(std::max<std::size_t>(block_bytes, 1)),
      here_bytes_(here_bytes) {}

HashPipe::~HashPipe() = default;

void HashPipe::feed(const void* data, std::size_t size) noexcept {
  if (!ring_ && !direct_) {
    // The first bytes are hashed here: a short text (a small record's
    // digest) costs neither the blocks nor a thread.
    if (size < here_bytes_ - std::min(fed_here_, here_bytes_)) {
      hash_.feed(data, size);
      fed_here_ += size;
      return;
    }
    std::unique_ptr<char[]> storage(new (std::nothrow) char[kBlocks * block_bytes_]);
    if (storage) ring_.reset(new (std::nothrow) Ring(hash_, block_bytes_, std::move(storage)));
    direct_ = !ring_;
  }
  if (direct_) {
    hash_.feed(data, size);
    return;
  }
  feed_blocks(static_cast<const char*>(data), size);
}

void HashPipe::feed_blocks(const char* bytes, std::size_t size) noexcept {
  Ring& ring = *ring_;
  while (size > 0) {
    const std::size_t n = std::min(size, block_bytes_ - ring.filled);
    std::memcpy(ring.block(ring.handed) + ring.filled, bytes, n);
    ring.filled += n;
    bytes += n;
    size -= n;
    if (ring.filled == block_bytes_) {
      hand_over();
      if (direct_) {
        hash_.feed(bytes, size);
        return;
      }
    }
  }
}

void HashPipe::hand_over() noexcept {
  Ring& ring = *ring_;
  if (!ring.running && !ring.start()) {
    // No thread to be had: this block, and what follows, hashed here.
    hash_.feed(ring.block(ring.handed), ring.filled);
    ring.filled = 0;
    direct_ = true;
    return;
  }
  used_thread_ = true;
  std::unique_lock lock(ring.mutex);
  ring.sizes[ring.handed % kBlocks] = ring.filled;
  ++ring.handed;
  ring.changed.notify_all();
  // The next block to fill must be free.
  ring.changed.wait(lock, [&ring] { return ring.handed - ring.hashed < kBlocks; });
  ring.filled = 0;
}

void HashPipe::restart() noexcept {
  if (ring_) {
    ring_->wait_until_hashed();
    ring_->filled = 0;
  }
  fed_here_ = 0;
  hash_ = start_;
}

void HashPipe::finish() noexcept {
  if (!ring_) return;
  ring_->stop();
  if (ring_->filled > 0) {
    // The block being filled: what the thread never got.
    hash_.feed(ring_->block(ring_->handed), ring_->filled);
    ring_->filled = 0;
  }
}

}  // namespace quorl
