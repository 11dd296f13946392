// A hash fed on one thread and computed on another. A single SHA-256 runs
// at the speed of its chain of rounds, about as long as reading the text
// takes: for a large document the two then overlap, on two cores.
//
// What is fed is copied into one of a few blocks; a full block goes to the
// hashing thread, which is started at the first one (a document that never
// fills a block costs no thread). The feeding side waits only when every
// block is still waiting to be hashed. Without memory for the blocks, on a
// machine of one core, or when no thread can be started, the bytes are
// hashed on the feeding side.
#pragma once

#include <pthread.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "core/digest/hash_feed.h"
#include "core/digest/sha256.h"

namespace quorl {

class HashPipe final : public HashFeed {
 public:
  // A block: large enough that handing it over (a lock and a wake-up)
  // costs little next to hashing it; four of them let the reader run
  // ahead of the hash by more than one piece it streams.
  static constexpr std::size_t kBlockBytes = std::size_t{256} << 10;
  static constexpr std::size_t kBlocks = 4;
  // The thread's stack: it runs the hash alone, so a small one, not the
  // 8 MiB a thread gets by default, and a call's address space grows little.
  static constexpr std::size_t kThreadStackBytes = std::size_t{256} << 10;

  // hash: the state to continue (the domain line already in it), which
  // belongs to the pipe until finish() returns.
  explicit HashPipe(Sha256& hash, std::size_t block_bytes = kBlockBytes) noexcept;
  ~HashPipe();
  HashPipe(const HashPipe&) = delete;
  HashPipe& operator=(const HashPipe&) = delete;

  void feed(const void* data, std::size_t size) noexcept override;
  void restart() noexcept override;
  // Every byte fed is then in the hash, and the thread has ended.
  void finish() noexcept;

  // Whether a thread took part (for tests).
  bool threaded() const noexcept { return running_ || used_thread_; }

 private:
  char* block(std::uint64_t k) noexcept { return blocks_.get() + (k % kBlocks) * block_bytes_; }
  void hand_over() noexcept;
  void wait_until_hashed() noexcept;
  bool start() noexcept;
  void stop() noexcept;
  void run() noexcept;
  static void* run_thread(void* pipe) noexcept;

  Sha256& hash_;
  const Sha256 start_;
  const std::size_t block_bytes_;
  std::unique_ptr<char[]> blocks_;  // kBlocks of block_bytes_, made at the first feed
  bool direct_ = false;             // no blocks or no thread: hashed here
  bool used_thread_ = false;
  std::size_t filled_ = 0;          // bytes in the block being filled, block(handed_)
  std::size_t sizes_[kBlocks] = {};
  // Under mutex_:
  std::uint64_t handed_ = 0;  // blocks handed over
  std::uint64_t hashed_ = 0;  // of those, blocks hashed
  bool stopping_ = false;
  std::mutex mutex_;
  std::condition_variable changed_;
  // A POSIX thread rather than std::thread: its state needs no heap block
  // freed on the new thread, which would give that thread a malloc arena of
  // its own (64 MiB of address space), and its stack size can be set.
  pthread_t thread_{};
  bool running_ = false;
};

}  // namespace quorl
