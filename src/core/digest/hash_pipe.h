// A hash fed on one thread and computed on another. A single SHA-256 runs
// at the speed of its chain of rounds, about as long as reading the text
// takes: for a large document the two then overlap, on two cores.
//
// The first bytes (here_bytes of them) are hashed on the feeding side; what
// follows is copied into one of a few blocks, and a full block goes to the
// hashing thread, which is started at the first one: a short text costs
// nothing beyond a plain hash, and a thread is started only where there is
// enough left to hash. The feeding side waits only when every block is still
// waiting to be hashed. Without memory for the blocks, on a machine of one
// core, or when no thread can be started, the bytes are hashed on the
// feeding side. With here_bytes at its largest, a pipe is a plain hash
// that can restart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/digest/sha256.h"

namespace quorl {

class HashPipe {
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
  explicit HashPipe(Sha256& hash, std::size_t block_bytes = kBlockBytes,
                    std::size_t here_bytes = kBlockBytes) noexcept;
  ~HashPipe();
  HashPipe(const HashPipe&) = delete;
  HashPipe& operator=(const HashPipe&) = delete;

  void feed(const void* data, std::size_t size) noexcept;
  // Forgets every byte fed since the pipe was made (the direct path stepped
  // aside after part of the text had gone).
  void restart() noexcept;
  // Every byte fed is then in the hash, and the thread has ended.
  void finish() noexcept;

  // Whether a thread took part (for tests).
  bool threaded() const noexcept { return used_thread_; }

 private:
  struct Ring;  // the blocks, the thread and what they share
  struct RingDelete {
    void operator()(Ring* ring) const noexcept;
  };

  void feed_blocks(const char* bytes, std::size_t size) noexcept;
  void hand_over() noexcept;

  Sha256& hash_;
  const Sha256 start_;
  const std::size_t block_bytes_;
  const std::size_t here_bytes_;
  std::size_t fed_here_ = 0;  // bytes hashed here before the ring was made
  bool direct_ = false;       // no ring or no thread to be had: hashed here
  bool used_thread_ = false;
  std::unique_ptr<Ring, RingDelete> ring_;
};

}  // namespace quorl
