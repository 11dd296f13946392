#include "core/hash/hash_pipe.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace quorl {

HashPipe::HashPipe(Sha256& hash, std::size_t block_bytes, std::size_t here_bytes,
                   HashWorkerLender* lender) noexcept
    : hash_(hash),
      start_(hash),
      block_bytes_(std::max<std::size_t>(block_bytes, 1)),
      here_bytes_(here_bytes),
      lender_(lender) {}

HashPipe::~HashPipe() {
  let_worker_go();
}

// A worker to serve this pipe: a borrowed one, else one of its own. False
// when none can take blocks (no memory for them).
bool HashPipe::take_worker() noexcept {
  if (lender_ != nullptr) {
    if (HashWorker* lent = lender_->borrow()) {
      if (lent->attach(hash_)) {
        worker_ = lent;
        return true;
      }
      lender_->give_back(lent);
    }
  }
  own_worker_.reset(new (std::nothrow) HashWorker(block_bytes_));
  if (own_worker_ && own_worker_->attach(hash_)) {
    worker_ = own_worker_.get();
    return true;
  }
  own_worker_.reset();
  return false;
}

// Every block handed over is hashed first: the worker's thread writes to
// hash_ until then.
void HashPipe::let_worker_go() noexcept {
  if (worker_ == nullptr) return;
  worker_->detach();
  if (worker_ != own_worker_.get()) lender_->give_back(worker_);
  own_worker_.reset();  // its thread ends
  worker_ = nullptr;
}

void HashPipe::feed(const void* data, std::size_t size) noexcept {
  if (worker_ == nullptr && !direct_) {
    // The first here_bytes are hashed here: a short text (a small record's
    // digest) costs neither the blocks nor a thread.
    const std::size_t here = std::min(size, here_bytes_ - std::min(fed_here_, here_bytes_));
    hash_.feed(data, here);
    fed_here_ += here;
    if (here == size) return;
    data = static_cast<const char*>(data) + here;
    size -= here;
    direct_ = !take_worker();
  }
  if (direct_) {
    hash_.feed(data, size);
    return;
  }
  feed_blocks(static_cast<const char*>(data), size);
}

void HashPipe::feed_blocks(const char* bytes, std::size_t size) noexcept {
  const std::size_t block = worker_->block_bytes();
  while (size > 0) {
    const std::size_t n = std::min(size, block - filled_);
    std::memcpy(worker_->filling() + filled_, bytes, n);
    filled_ += n;
    bytes += n;
    size -= n;
    if (filled_ == block) {
      hand_over();
      if (direct_) {
        hash_.feed(bytes, size);
        return;
      }
    }
  }
}

void HashPipe::hand_over() noexcept {
  if (!worker_->hand_over(filled_)) {
    // No thread to be had: this block, and what follows, hashed here.
    hash_.feed(worker_->filling(), filled_);
    filled_ = 0;
    let_worker_go();
    direct_ = true;
    return;
  }
  used_thread_ = true;
  filled_ = 0;
}

void HashPipe::restart() noexcept {
  if (worker_ != nullptr) {
    worker_->wait_until_hashed();
    filled_ = 0;
  }
  fed_here_ = 0;
  hash_ = start_;
}

void HashPipe::finish() noexcept {
  if (worker_ == nullptr) return;
  worker_->wait_until_hashed();
  if (filled_ > 0) {
    // The block being filled: what the thread never got.
    hash_.feed(worker_->filling(), filled_);
    filled_ = 0;
  }
  let_worker_go();
}

}  // namespace quorl
