// Where bytes bound for a SHA-256 go, in the order they are produced: into
// a Sha256 at once (ShaFeed), or through a HashPipe to a thread that hashes
// them while the rest of the document is still being read.
#pragma once

#include <cstddef>

#include "core/digest/sha256.h"

namespace quorl {

class HashFeed {
 public:
  virtual void feed(const void* data, std::size_t size) noexcept = 0;
  // Forgets every byte fed since the feed was made (the direct path stepped
  // aside after part of the text had gone).
  virtual void restart() noexcept = 0;

 protected:
  ~HashFeed() = default;
};

// A hash fed directly, its state at the start kept for restart().
class ShaFeed final : public HashFeed {
 public:
  explicit ShaFeed(Sha256& hash) noexcept : hash_(hash), start_(hash) {}
  void feed(const void* data, std::size_t size) noexcept override { hash_.feed(data, size); }
  void restart() noexcept override { hash_ = start_; }

 private:
  Sha256& hash_;
  const Sha256 start_;
};

}  // namespace quorl
