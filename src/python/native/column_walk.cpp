#include "native/column_walk.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "base/memory/thread_scratch.h"
#include "core/batch/record_batch.h"
#include "native/refusal_text.h"

namespace quorl::native {

namespace {

constexpr std::size_t kHexBytes = 64;
constexpr std::size_t kRawBytes = 32;

// A block is at least this much text (a few hundred records), so that
// handing it to a thread costs little next to its work, and a column is
// cut into several blocks a thread, so that threads that run at different
// speeds on a shared machine still end together.
constexpr std::int64_t kBlockMinBytes = std::int64_t{256} << 10;
constexpr std::int64_t kBlocksPerThread = 8;
// Blocks start at multiples of this many rows, so that no two blocks write
// to the same byte of a validity bitmap.
constexpr std::int64_t kBlockRowAlign = 64;

// Results of variable size, in row order: the text of each, one after
// another in one store.
struct Texts {
  struct Entry {
    std::int64_t row;
    std::size_t size;
  };
  std::string store;
  std::vector<Entry> entries;
};

struct Block {
  std::int64_t from = 0, to = 0;
  Texts values;  // canonical bytes
  Texts errors;  // refusal texts
};

// Where digests land: a fixed-size slot per row, and its validity bit.
struct DigestSlots {
  char* data = nullptr;
  std::uint8_t* validity = nullptr;
  std::size_t width = kHexBytes;
};

std::uint8_t nibble(char c) noexcept {
  return static_cast<std::uint8_t>(c <= '9' ? c - '0' : c - 'a' + 10);
}

class BlockSink final : public RecordSink {
 public:
  BlockSink(const DigestSlots& slots, Block& block) : slots_(slots), block_(block) {}

  void digested(std::size_t row, std::string_view hex) override {
    char* slot = slots_.data + row * slots_.width;
    if (slots_.width == kHexBytes) {
      std::memcpy(slot, hex.data(), kHexBytes);
    } else {
      for (std::size_t i = 0; i < kRawBytes; ++i)
        slot[i] = static_cast<char>(nibble(hex[2 * i]) << 4 | nibble(hex[2 * i + 1]));
    }
    slots_.validity[row >> 3] |= static_cast<std::uint8_t>(1u << (row & 7));
  }
  void canonical(std::size_t row, const CanonicalText& text) override {
    std::string& store = block_.values.store;
    const std::size_t at = store.size();
    store.resize(at + text.size());
    text.write_to(store.data() + at);
    block_.values.entries.push_back({static_cast<std::int64_t>(row), text.size()});
  }
  void refused(std::size_t row, QuorlError error) override {
    std::string& store = block_.errors.store;
    const std::size_t at = store.size();
    append_refusal_text(store, error);
    block_.errors.entries.push_back({static_cast<std::int64_t>(row), store.size() - at});
  }

 private:
  const DigestSlots& slots_;
  Block& block_;
};

// The documents of rows [from, to) that are not null, in order.
class BlockSource final : public RecordSource {
 public:
  BlockSource(const std::vector<ColumnChunk>& chunks, std::int64_t from, std::int64_t to)
      : chunks_(chunks), local_(from), row_(from), to_(to) {
    while (chunk_ < chunks_.size() && local_ >= chunks_[chunk_].length) {
      local_ -= chunks_[chunk_].length;
      ++chunk_;
    }
  }

  bool next(std::size_t& id, std::string_view& record) override {
    while (row_ < to_) {
      while (local_ >= chunks_[chunk_].length) {  // empty chunks included
        local_ = 0;
        ++chunk_;
      }
      const ColumnChunk& chunk = chunks_[chunk_];
      const std::int64_t row = row_++;
      const std::int64_t local = local_++;
      if (chunk.is_null(local)) continue;
      id = static_cast<std::size_t>(row);
      record = chunk.value(local);
      return true;
    }
    return false;
  }

 private:
  const std::vector<ColumnChunk>& chunks_;
  std::size_t chunk_ = 0;
  std::int64_t local_ = 0;
  std::int64_t row_, to_;
};

void run_block(const ArrowColumn& column, const ColumnRequest& request, const DigestSlots& slots,
               Block& block, DirectText& scratch) {
  BlockSource source(column.chunks(), block.from, block.to);
  BlockSink sink(slots, block);
  if (request.output == ColumnOutput::Canonical) {
    canonical_records(source, sink, scratch, false, request.floats);
    return;
  }
  // The profile was checked by the caller.
  (void)digest_records(source, request.profile, sink, scratch, false, request.floats);
  // Null and refused rows' slots hold zeros, not what the memory held.
  for (std::int64_t row = block.from; row < block.to; ++row) {
    if (!(slots.validity[row >> 3] >> (row & 7) & 1))
      std::memset(slots.data + row * slots.width, 0, slots.width);
  }
}

std::vector<Block> cut_blocks(const ArrowColumn& column, unsigned threads) {
  const std::int64_t rows = column.rows();
  std::int64_t block_rows = rows;
  if (threads > 1 && rows > 0) {
    const std::int64_t per_row = std::max<std::int64_t>(1, column.bytes() / rows);
    const std::int64_t target =
        std::max(kBlockMinBytes, column.bytes() / (kBlocksPerThread * threads));
    block_rows = std::max<std::int64_t>(1, target / per_row);
    block_rows = (block_rows + kBlockRowAlign - 1) / kBlockRowAlign * kBlockRowAlign;
  }
  std::vector<Block> blocks;
  for (std::int64_t from = 0; from < rows; from += block_rows) {
    Block& block = blocks.emplace_back();
    block.from = from;
    block.to = std::min(rows, from + block_rows);
  }
  return blocks;
}

// Blocks all signals for its lifetime on this thread, so that the threads
// it starts never run the process's signal handlers (the interpreter's
// expect the main thread).
class SignalsBlocked {
 public:
  SignalsBlocked() noexcept {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before_);
  }
  ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  sigset_t before_;
};

// Runs every block on up to `threads` threads, the calling one included;
// the first failure of any is rethrown here once all have ended.
void run_blocks(const ArrowColumn& column, const ColumnRequest& request, const DigestSlots& slots,
                std::vector<Block>& blocks, unsigned threads) {
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  std::mutex failure_lock;
  std::exception_ptr failure;
  const auto work = [&]() noexcept {
    try {
      ScratchLease scratch;
      for (;;) {
        const std::size_t b = next.fetch_add(1, std::memory_order_relaxed);
        if (b >= blocks.size() || stop.load(std::memory_order_relaxed)) return;
        run_block(column, request, slots, blocks[b], scratch.get());
      }
    } catch (...) {
      stop.store(true, std::memory_order_relaxed);
      std::lock_guard<std::mutex> guard(failure_lock);
      if (!failure) failure = std::current_exception();
    }
  };
  {
    std::vector<std::jthread> helpers;  // joined as this scope ends, however it ends
    {
      SignalsBlocked blocked;
      for (unsigned i = 1; i < threads; ++i) {
        try {
          helpers.emplace_back(work);
        } catch (const std::system_error&) {
          break;  // no more threads to be had: those started, and this one, do the rest
        }
      }
    }
    work();
  }
  if (failure) std::rethrow_exception(failure);
}

// One child of variable-size values from the blocks' texts: offsets of 32
// bits unless the values outgrow them.
template <class Offset>
void fill_offsets(ResultChild& child, const std::vector<Block>& blocks, Texts Block::*texts,
                  std::int64_t rows) {
  auto* offsets = reinterpret_cast<Offset*>(child.offsets.data());
  Offset at = 0;
  for (const Block& block : blocks) {
    auto entry = (block.*texts).entries.begin();
    const auto end = (block.*texts).entries.end();
    for (std::int64_t row = block.from; row < block.to; ++row) {
      offsets[row] = at;
      if (entry != end && entry->row == row) {
        at += static_cast<Offset>(entry->size);
        child.validity[row >> 3] |= static_cast<std::uint8_t>(1u << (row & 7));
        ++entry;
      }
    }
  }
  offsets[rows] = at;
}

void assemble_texts(ResultChild& child, std::vector<Block>& blocks, Texts Block::*texts,
                    std::int64_t rows, const char* small_format, const char* large_format) {
  std::size_t total = 0, count = 0;
  for (const Block& block : blocks) {
    total += (block.*texts).store.size();
    count += (block.*texts).entries.size();
  }
  const bool large = total > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
  child.format = large ? large_format : small_format;
  child.null_count = rows - static_cast<std::int64_t>(count);
  child.validity.assign(static_cast<std::size_t>(rows + 7) / 8, 0);
  const std::size_t width = large ? sizeof(std::int64_t) : sizeof(std::int32_t);
  child.offsets = ResultBytes((static_cast<std::size_t>(rows) + 1) * width);
  if (large) {
    fill_offsets<std::int64_t>(child, blocks, texts, rows);
  } else {
    fill_offsets<std::int32_t>(child, blocks, texts, rows);
  }
  if (child.null_count == 0) child.validity = {};
  if (blocks.size() == 1) {
    child.data = ResultBytes(std::move((blocks[0].*texts).store));
    return;
  }
  child.data = ResultBytes(total);
  char* at = child.data.data();
  for (Block& block : blocks) {
    std::string& store = (block.*texts).store;
    if (!store.empty()) std::memcpy(at, store.data(), store.size());
    at += store.size();
    std::string().swap(store);
  }
}

// The digests' child: fixed-size binary, or hex strings whose offsets are
// those of a fixed size.
template <class Offset>
void fill_hex_offsets(ResultChild& child, std::int64_t rows) {
  auto* offsets = reinterpret_cast<Offset*>(child.offsets.data());
  for (std::int64_t row = 0; row <= rows; ++row) offsets[row] = static_cast<Offset>(row * 64);
}

void finish_digests(ResultChild& child, std::int64_t rows, bool raw) {
  std::int64_t valid = 0;
  for (std::uint8_t byte : child.validity) valid += std::popcount(byte);
  child.null_count = rows - valid;
  if (child.null_count == 0) child.validity = {};
  if (raw) {
    child.format = "w:32";
    child.has_offsets = false;
    return;
  }
  const bool large = rows * std::int64_t{kHexBytes} > std::numeric_limits<std::int32_t>::max();
  child.format = large ? "U" : "u";
  const std::size_t width = large ? sizeof(std::int64_t) : sizeof(std::int32_t);
  child.offsets = ResultBytes((static_cast<std::size_t>(rows) + 1) * width);
  if (large) {
    fill_hex_offsets<std::int64_t>(child, rows);
  } else {
    fill_hex_offsets<std::int32_t>(child, rows);
  }
}

}  // namespace

std::shared_ptr<ResultColumn> walk_column(const ArrowColumn& column, const ColumnRequest& request) {
  auto result = std::make_shared<ResultColumn>();
  const std::int64_t rows = column.rows();
  result->length = rows;
  const bool canonical = request.output == ColumnOutput::Canonical;
  ResultChild& values = result->children[0];
  ResultChild& errors = result->children[1];
  values.name = canonical ? "canonical" : "digest";
  errors.name = "error";

  DigestSlots slots;
  if (!canonical) {
    slots.width = request.output == ColumnOutput::RawDigest ? kRawBytes : kHexBytes;
    values.data = ResultBytes(static_cast<std::size_t>(rows) * slots.width);
    values.validity.assign(static_cast<std::size_t>(rows + 7) / 8, 0);
    slots.data = values.data.data();
    slots.validity = values.validity.data();
  }
  std::vector<Block> blocks = cut_blocks(column, request.threads);
  const auto threads =
      static_cast<unsigned>(std::min<std::size_t>(std::max(1u, request.threads), blocks.size()));
  run_blocks(column, request, slots, blocks, threads);

  if (canonical) {
    assemble_texts(values, blocks, &Block::values, rows, "z", "Z");
  } else {
    finish_digests(values, rows, request.output == ColumnOutput::RawDigest);
  }
  assemble_texts(errors, blocks, &Block::errors, rows, "u", "U");
  return result;
}

unsigned usable_cores() noexcept {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<unsigned>(count);
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace quorl::native
