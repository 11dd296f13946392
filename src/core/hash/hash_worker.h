// A thread that hashes blocks of bytes for a HashPipe, in order, while the
// pipe's feeder fills the next block. A worker may serve one pipe after
// another: between pipes its thread waits for the next, and after kIdle
// without one it ends and lets its blocks go, so that a process that
// digests now and then keeps neither for long. Starting a thread per
// digest (clone, a wake-up on the other core, fresh pages for the blocks)
// costs about as much as hashing 100 KB; a kept worker costs a wake-up.
#pragma once

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "core/hash/sha256.h"

namespace quorl {

class HashWorker {
 public:
  // Four blocks let the feeder run ahead of the hash by more than one
  // piece it streams.
  static constexpr std::size_t kBlocks = 4;
  // The thread runs the hash alone: a small stack, not the 8 MiB a thread
  // gets by default, so that a call's address space grows little.
  static constexpr std::size_t kThreadStackBytes = std::size_t{256} << 10;
  // A thread kept between pipes ends after this long without one.
  static constexpr std::chrono::milliseconds kIdle{500};

  explicit HashWorker(std::size_t block_bytes) noexcept;
  // Hashes what was handed over, then ends the thread.
  ~HashWorker();
  HashWorker(const HashWorker&) = delete;
  HashWorker& operator=(const HashWorker&) = delete;

  std::size_t block_bytes() const noexcept { return block_bytes_; }

  // Starts serving a pipe: the blocks handed over from now on go into
  // hash. False, and not serving, when there is no memory for the blocks.
  bool attach(Sha256& hash) noexcept;
  // The block the feeder fills next (block_bytes of room).
  char* filling() noexcept;
  // Hands the block being filled (its first size bytes) to the thread,
  // started if need be, and waits until the next block is free. False when
  // no thread could be started: the block was not taken.
  bool hand_over(std::size_t size) noexcept;
  // Every block handed over is in the hash.
  void wait_until_hashed() noexcept;
  // Ends serving the pipe, every block handed over in its hash.
  void detach() noexcept;
  // Around a fork, for the one who lends the worker, lent or not. Before:
  // every block handed over is hashed and the thread ended (the next block
  // starts another), and the worker stays locked until after. The child has
  // none of the parent's threads: there the wait is made afresh, and a pipe
  // served for another thread than the forking one is forgotten
  // (forget_pipe), since that thread will never feed it again.
  void hold_for_fork() noexcept;
  void resume_in_parent() noexcept;
  void resume_in_child(bool forget_pipe) noexcept;

 private:
  enum class Thread : std::uint8_t { None, Running, Ended };

  char* block(std::uint64_t k) noexcept { return blocks_.get() + (k % kBlocks) * block_bytes_; }
  bool start() noexcept;
  void join_ended() noexcept;
  void run() noexcept;
  static void* run_thread(void* worker) noexcept;

  const std::size_t block_bytes_;
  // Under mutex_ (blocks_ is swapped only while no pipe is served):
  std::unique_ptr<char[]> blocks_;  // kBlocks of block_bytes_
  Sha256* hash_ = nullptr;          // of the pipe served, null between pipes
  std::size_t sizes_[kBlocks] = {};
  std::uint64_t handed_ = 0;  // blocks handed over
  std::uint64_t hashed_ = 0;  // of those, blocks hashed
  bool stopping_ = false;
  Thread thread_state_ = Thread::None;
  long kernel_tid_ = 0;  // the thread's id in the kernel, where there is one (Linux)
  std::mutex mutex_;
  std::condition_variable changed_;
  // A POSIX thread rather than std::thread: its state needs no heap block
  // freed on the new thread, which would give that thread a malloc arena of
  // its own (64 MiB of address space), and its stack size can be set.
  pthread_t thread_{};
};

}  // namespace quorl
