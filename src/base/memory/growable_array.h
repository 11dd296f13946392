// A vector of plain records on the working-buffer memory (large_buffer.h):
// a large one grows by remapping, so it never holds its old and its new block
// at once, and a reader can start it small and let it grow to what a
// document needs instead of reserving a worst case.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>

#include "base/memory/large_buffer.h"

namespace quorl {

template <class T>
class GrowableArray {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  GrowableArray() noexcept = default;
  GrowableArray(const GrowableArray&) = delete;
  GrowableArray& operator=(const GrowableArray&) = delete;
  GrowableArray(GrowableArray&& other) noexcept { swap(other); }
  GrowableArray& operator=(GrowableArray&& other) noexcept {
    GrowableArray(std::move(other)).swap(*this);
    return *this;
  }
  ~GrowableArray() { free_buffer(data_, capacity_ * sizeof(T)); }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  std::size_t capacity() const noexcept { return capacity_; }
  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  T& operator[](std::size_t k) noexcept { return data_[k]; }
  const T& operator[](std::size_t k) const noexcept { return data_[k]; }
  T& back() noexcept { return data_[size_ - 1]; }

  void clear() noexcept { size_ = 0; }
  void pop_back() noexcept { --size_; }
  // Only shrinks: the readers use it to drop what they pushed.
  void shrink_to(std::size_t n) noexcept { size_ = n < size_ ? n : size_; }

  void reserve(std::size_t n) {
    if (n > capacity_) grow_to(n);
  }
  // Room for first now and, once that is full, for then at once: a caller
  // that expects few records mostly but many at times starts small (a
  // small block shares its pages) and, when it does need more, grows once
  // to what it may need rather than step by step.
  void reserve_in_steps(std::size_t first, std::size_t then) {
    reserve(first);
    then_ = then;
  }
  T& emplace_back() {
    if (size_ == capacity_) [[unlikely]]
      grow();
    return *new (data_ + size_++) T{};
  }
  // For a caller that sets every field: nothing is written first.
  T& emplace_back_for_overwrite() {
    if (size_ == capacity_) [[unlikely]]
      grow();
    return *new (data_ + size_++) T;
  }
  void push_back(const T& value) {
    if (size_ == capacity_) [[unlikely]]
      grow();
    data_[size_++] = value;
  }

 private:
  void swap(GrowableArray& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    std::swap(then_, other.then_);
  }
  // Half as much again, a quarter once mapped: remapping makes each step
  // cheap, and the smaller steps keep the unused tail small.
  void grow() {
    const std::size_t step =
        capacity_ * sizeof(T) >= kMappedBufferBytes ? capacity_ / 4 : capacity_ / 2;
    grow_to(std::max({std::size_t{16}, capacity_ + step, then_}));
  }
  void grow_to(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    data_ = static_cast<T*>(
        grow_buffer(data_, capacity_ * sizeof(T), size_ * sizeof(T), n * sizeof(T)));
    capacity_ = n;
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  std::size_t then_ = 0;  // the capacity of the next growth, at least
};

}  // namespace quorl
