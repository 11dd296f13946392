// A growable byte buffer written through raw pointers: the object walk asks
// for room once per token and writes without a size check per byte. Its
// memory is either its own, kept by a thread between calls (see
// WalkScratch) so that it is faulted in once, or a bytes object that
// becomes the result, which saves copying the output at the end.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <utility>

#include "capi/interpreter_lock.h"

namespace quorl::native {

class OutputBuffer {
 public:
  OutputBuffer() = default;
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;
  // A bytes object runs no Python code as it goes; a thread being ended
  // (holding no interpreter lock) leaves it.
  ~OutputBuffer() {
    if (bytes_ != nullptr && capi::holds_lock()) Py_DECREF(bytes_);
  }

  // A pointer to at least n writable bytes at the end; commit what was used.
  // Kept as two pointers: one load each, and nothing to add.
  char* room(std::size_t n) {
    if (static_cast<std::size_t>(end_ - pos_) < n) [[unlikely]]
      grow(n);
    return pos_;
  }
  void commit_to(char* end) noexcept { pos_ = end; }
  // For a caller that keeps its own cursor w (the position not yet
  // committed): w, or where it moved, with at least n bytes of room.
  char* reserve_at(char* w, std::size_t n) {
    if (static_cast<std::size_t>(end_ - w) < n) [[unlikely]] {
      pos_ = w;
      grow(n);
      return pos_;
    }
    return w;
  }
  char* pos() const noexcept { return pos_; }
  // A cursor as an offset, which stays true when the buffer moves, and back.
  std::size_t offset_of(const char* w) const noexcept {
    return static_cast<std::size_t>(w - data_);
  }
  char* at_offset(std::size_t offset) const noexcept { return data_ + offset; }
  // Past the last byte of room.
  const char* limit() const noexcept { return end_; }

  void put(char c) {
    char* p = room(1);
    *p = c;
    pos_ = p + 1;  // from p: the byte store may alias pos_ itself
  }
  void append(const char* bytes, std::size_t n) {
    char* p = room(n);
    std::memcpy(p, bytes, n);
    pos_ = p + n;
  }
  void append(std::string_view text) { append(text.data(), text.size()); }

  const char* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return static_cast<std::size_t>(pos_ - data_); }
  // The memory of its own that the buffer holds.
  std::size_t capacity() const noexcept { return bytes_ != nullptr ? 0 : owned_capacity_; }
  // Drops what was written after `size` (a mark taken earlier).
  void truncate(std::size_t size) noexcept { pos_ = data_ + size; }
  void clear() noexcept { pos_ = data_; }
  // Gives its own memory back.
  void release() noexcept {
    if (bytes_ == nullptr) data_ = pos_ = end_ = nullptr;
    owned_.reset();
    owned_capacity_ = 0;
  }

  // From now on writes go to a new bytes object of `capacity` bytes, which
  // grows as needed. False with MemoryError set when it cannot be made.
  bool write_to_bytes(std::size_t capacity) {
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity));
    if (bytes == nullptr) return false;
    Py_XSETREF(bytes_, bytes);
    data_ = pos_ = PyBytes_AS_STRING(bytes_);
    end_ = data_ + capacity;
    return true;
  }
  // Drops a bytes object still being written (a call that ended early).
  void drop_bytes() noexcept {
    if (bytes_ == nullptr) return;
    if (capi::holds_lock()) Py_DECREF(bytes_);
    bytes_ = nullptr;
    use_owned();
  }
  // The bytes object, cut to what was written (a new reference), or null
  // with MemoryError set; writes go back to the buffer's own memory.
  PyObject* take_bytes() {
    PyObject* bytes = std::exchange(bytes_, nullptr);
    const std::size_t size = this->size();
    const auto room = static_cast<std::size_t>(end_ - data_);
    use_owned();
    // Room to spare of up to an eighth is kept rather than cut off. Cut
    // off, the block glibc gets back is smaller than the one the next call
    // of the same size asks for, so each call's output is mapped afresh
    // and faulted in page by page (on a 2 MB result, most of the time).
    if (room - size <= size / 8 + 64) {
      Py_SET_SIZE(bytes, static_cast<Py_ssize_t>(size));
      PyBytes_AS_STRING(bytes)[size] = '\0';
      return bytes;
    }
    if (_PyBytes_Resize(&bytes, static_cast<Py_ssize_t>(size)) < 0) return nullptr;
    return bytes;
  }

 private:
  void grow(std::size_t n);
  void use_owned() noexcept {
    data_ = pos_ = owned_.get();
    end_ = data_ + owned_capacity_;
  }

  char* data_ = nullptr;  // first byte
  char* pos_ = nullptr;   // where the next byte goes
  char* end_ = nullptr;   // past the last byte of room
  std::unique_ptr<char[]> owned_;
  std::size_t owned_capacity_ = 0;
  PyObject* bytes_ = nullptr;  // the result being written, when there is one
};

inline void OutputBuffer::grow(std::size_t n) {
  const std::size_t size = this->size();
  const auto current = static_cast<std::size_t>(end_ - data_);
  std::size_t capacity = current < 4096 ? 4096 : current * 2;
  while (capacity - size < n) capacity *= 2;
  if (bytes_ != nullptr) {
    // Grows in place where the allocator can; null (and MemoryError set) when not at all.
    if (_PyBytes_Resize(&bytes_, static_cast<Py_ssize_t>(capacity)) < 0) {
      PyErr_Clear();
      use_owned();
      throw std::bad_alloc();
    }
    data_ = PyBytes_AS_STRING(bytes_);
    pos_ = data_ + size;
    end_ = data_ + capacity;
    return;
  }
  // for_overwrite: no zeroing of memory that is about to be written.
  auto bigger = std::make_unique_for_overwrite<char[]>(capacity);
  if (size != 0) std::memcpy(bigger.get(), data_, size);
  owned_ = std::move(bigger);
  owned_capacity_ = capacity;
  data_ = owned_.get();
  pos_ = data_ + size;
  end_ = data_ + capacity;
}

}  // namespace quorl::native
