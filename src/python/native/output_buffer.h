// A growable byte buffer written through raw pointers: the object walk asks
// for room once per token and writes without a size check per byte. Kept by
// a thread between calls (see WalkScratch), so its memory is faulted in once.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

namespace quorl::native {

class OutputBuffer {
 public:
  // A pointer to at least n writable bytes at the end; commit what was used.
  char* room(std::size_t n) {
    if (capacity_ - size_ < n) [[unlikely]]
      grow(n);
    return data_.get() + size_;
  }
  void commit_to(const char* end) noexcept { size_ = static_cast<std::size_t>(end - data_.get()); }

  void put(char c) { *room(1) = c; ++size_; }
  void append(const char* bytes, std::size_t n) {
    std::memcpy(room(n), bytes, n);
    size_ += n;
  }
  void append(std::string_view text) { append(text.data(), text.size()); }

  const char* data() const noexcept { return data_.get(); }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  // Drops what was written after `size` (a mark taken earlier).
  void truncate(std::size_t size) noexcept { size_ = size; }
  void clear() noexcept { size_ = 0; }
  // Gives the memory back.
  void release() noexcept {
    data_.reset();
    size_ = capacity_ = 0;
  }

 private:
  void grow(std::size_t n);

  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

inline void OutputBuffer::grow(std::size_t n) {
  std::size_t capacity = capacity_ < 4096 ? 4096 : capacity_ * 2;
  while (capacity - size_ < n) capacity *= 2;
  // for_overwrite: no zeroing of memory that is about to be written.
  auto bigger = std::make_unique_for_overwrite<char[]>(capacity);
  if (size_ != 0) std::memcpy(bigger.get(), data_.get(), size_);
  data_ = std::move(bigger);
  capacity_ = capacity;
}

}  // namespace quorl::native
