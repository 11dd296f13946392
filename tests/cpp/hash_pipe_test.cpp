// The hash pipe against one Sha256 fed the same bytes: pieces of every size
// around the block size, across the ring of blocks many times, a restart
// after blocks have gone to the thread, a pipe dropped unfinished, and a
// worker lent to pipe after pipe.
#include "core/hash/hash_pipe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/hash/sha256.h"

namespace quorl {
namespace {

std::string random_bytes(std::size_t n, std::mt19937_64& rng) {
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(rng());
  return out;
}

std::string hex_of(Sha256& hash) {
  return to_hex(hash.finish());
}

// What the pipe must give: the start, then the bytes, in one hash.
std::string expected(std::string_view start, std::string_view bytes) {
  Sha256 hash;
  hash.feed(start);
  hash.feed(bytes);
  return hex_of(hash);
}

// Feeds bytes in pieces of random sizes up to three blocks.
void feed_in_pieces(HashPipe& pipe, std::string_view bytes, std::size_t block,
                    std::mt19937_64& rng) {
  std::size_t at = 0;
  while (at < bytes.size()) {
    const std::size_t n = std::min<std::size_t>(bytes.size() - at, rng() % (3 * block + 2));
    pipe.feed(bytes.data() + at, n);
    at += n;
  }
}

class HashPipeTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(HashPipeTest, GivesTheHashOfWhatWasFedInOrder) {
  const std::size_t block = GetParam();
  std::mt19937_64 rng(block);
  const bool cores = std::thread::hardware_concurrency() > 1;
  // here: the bytes hashed on the feeding side before any block.
  for (std::size_t here : {std::size_t{0}, block, 2 * block}) {
    for (std::size_t total : {std::size_t{0}, block - 1, block, 5 * block + 3, 23 * block + 1}) {
      const std::string bytes = random_bytes(total, rng);
      Sha256 hash;
      hash.feed(std::string_view("domain\n"));
      HashPipe pipe(hash, block, here);
      feed_in_pieces(pipe, bytes, block, rng);
      pipe.finish();
      EXPECT_EQ(hex_of(hash), expected("domain\n", bytes)) << "total " << total << " here " << here;
      // A thread once a block is full past the first bytes, never before.
      if (total < std::max(here, block)) {
        EXPECT_FALSE(pipe.threaded()) << "total " << total << " here " << here;
      } else if (total >= here + 2 * block) {
        EXPECT_EQ(pipe.threaded(), cores) << "total " << total << " here " << here;
      }
    }
  }
}

TEST_P(HashPipeTest, RestartForgetsWhatWasFedBefore) {
  const std::size_t block = GetParam();
  std::mt19937_64 rng(block + 1);
  const std::string dropped = random_bytes(9 * block + 5, rng);
  const std::string kept = random_bytes(6 * block + 7, rng);
  Sha256 hash;
  hash.feed(std::string_view("start"));
  HashPipe pipe(hash, block, block);  // the restart drops bytes hashed here and in blocks
  feed_in_pieces(pipe, dropped, block, rng);
  pipe.restart();
  feed_in_pieces(pipe, kept, block, rng);
  pipe.finish();
  EXPECT_EQ(hex_of(hash), expected("start", kept));
}

TEST_P(HashPipeTest, ADroppedPipeEndsItsThread) {
  const std::size_t block = GetParam();
  std::mt19937_64 rng(block + 2);
  const std::string bytes = random_bytes(7 * block, rng);
  Sha256 hash;
  {
    HashPipe pipe(hash, block, 0);
    feed_in_pieces(pipe, bytes, block, rng);
    if (std::thread::hardware_concurrency() > 1) {
      ASSERT_TRUE(pipe.threaded());
    }
  }  // a refusal: never finished, yet its thread is joined (else terminate)
}

// Lends one worker, as the extension's kept one is lent, and counts.
class OneWorker final : public HashWorkerLender {
 public:
  explicit OneWorker(std::size_t block) : worker_(block) {}
  HashWorker* borrow() noexcept override {
    if (lent_) return nullptr;
    lent_ = true;
    ++borrowed;
    return &worker_;
  }
  void give_back(HashWorker* worker) noexcept override {
    EXPECT_EQ(worker, &worker_);
    lent_ = false;
  }
  int borrowed = 0;
  HashWorker& worker() noexcept { return worker_; }

 private:
  HashWorker worker_;
  bool lent_ = false;
};

TEST_P(HashPipeTest, ALentWorkerServesPipeAfterPipe) {
  const std::size_t block = GetParam();
  std::mt19937_64 rng(block + 3);
  OneWorker lender(block);
  for (int round = 0; round < 5; ++round) {
    const std::string bytes = random_bytes((round + 3) * block + round, rng);
    Sha256 hash;
    hash.feed(std::string_view("domain\n"));
    HashPipe pipe(hash, block, 0, &lender);
    feed_in_pieces(pipe, bytes, block, rng);
    // Meanwhile the worker is lent: a second pipe makes one of its own.
    Sha256 other_hash;
    HashPipe other(other_hash, block + 1, 0, &lender);
    feed_in_pieces(other, bytes, block, rng);
    other.finish();
    if (round == 1) pipe.restart();  // forgets what the lent worker hashed
    feed_in_pieces(pipe, bytes, block, rng);
    pipe.finish();
    EXPECT_EQ(hex_of(hash), expected("domain\n", round == 1 ? bytes : bytes + bytes));
    EXPECT_EQ(hex_of(other_hash), expected("", bytes));
    // Once, long enough without a pipe for the worker's thread to end: the
    // next pipe starts it anew.
    if (round == 2 && block == 64) std::this_thread::sleep_for(HashWorker::kIdle * 3 / 2);
    // Or ended at once, as around a fork.
    if (round == 3) {
      lender.worker().hold_for_fork();
      lender.worker().resume_in_parent();
    }
  }
  EXPECT_EQ(lender.borrowed, 5);
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, HashPipeTest,
                         ::testing::Values(std::size_t{1}, std::size_t{64}, std::size_t{1000},
                                           HashPipe::kBlockBytes));

}  // namespace
}  // namespace quorl
