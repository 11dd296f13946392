// A hash fed on one thread and computed on another. A single SHA-256 runs
// at the speed of its chain of rounds, about as long as reading the text
// takes: for a large document the two then overlap, on two cores.
//
// The first bytes (here_bytes of them) are hashed on the feeding side; what
// follows is copied into the blocks of a HashWorker, whose thread hashes a
// full block while the next is filled: a short text costs nothing beyond a
// plain hash, and a thread is started only where there is enough left to
// hash. The worker is borrowed from a lender when one is given and has one
// free (its thread is then kept from one pipe to the next), else made for
// the pipe alone. Without memory for the blocks, on a machine of one core,
// or when no thread can be started, the bytes are hashed on the feeding
// side. With here_bytes at its largest, a pipe is a plain hash that can
// restart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/hash/hash_worker.h"
#include "core/hash/sha256.h"

namespace quorl {

// Lends HashWorkers to pipes, each to one pipe at a time.
class HashWorkerLender {
 public:
  // Null when none is free.
  virtual HashWorker* borrow() noexcept = 0;
  virtual void give_back(HashWorker* worker) noexcept = 0;

 protected:
  ~HashWorkerLender() = default;
};

class HashPipe {
 public:
  // A block: large enough that handing it over (a lock and a wake-up)
  // costs little next to hashing it.
  static constexpr std::size_t kBlockBytes = std::size_t{256} << 10;

  // hash: the state to continue (the domain line already in it), which
  // belongs to the pipe until finish() returns. block_bytes: of a worker
  // made for this pipe (a borrowed one has its own).
  explicit HashPipe(Sha256& hash, std::size_t block_bytes = kBlockBytes,
                    std::size_t here_bytes = kBlockBytes,
                    HashWorkerLender* lender = nullptr) noexcept;
  ~HashPipe();
  HashPipe(const HashPipe&) = delete;
  HashPipe& operator=(const HashPipe&) = delete;

  void feed(const void* data, std::size_t size) noexcept;
  // Forgets every byte fed since the pipe was made (the direct path stepped
  // aside after part of the text had gone).
  void restart() noexcept;
  // Every byte fed is then in the hash, and the worker is let go.
  void finish() noexcept;

  // Whether a thread took part (for tests).
  bool threaded() const noexcept { return used_thread_; }

 private:
  bool take_worker() noexcept;
  void let_worker_go() noexcept;
  void feed_blocks(const char* bytes, std::size_t size) noexcept;
  void hand_over() noexcept;

  Sha256& hash_;
  const Sha256 start_;
  const std::size_t block_bytes_;
  const std::size_t here_bytes_;
  HashWorkerLender* const lender_;
  std::size_t fed_here_ = 0;  // bytes hashed here before the worker was taken
  bool direct_ = false;       // no worker or no thread to be had: hashed here
  bool used_thread_ = false;
  HashWorker* worker_ = nullptr;  // serving this pipe: borrowed, or own_worker_
  std::unique_ptr<HashWorker> own_worker_;
  std::size_t filled_ = 0;  // bytes in the worker's block being filled
};

}  // namespace quorl
