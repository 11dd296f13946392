// Memory for working buffers that may reach hundreds of megabytes.
//
// A large document is read into fresh memory, and fresh memory is mostly the
// cost of faulting it in: with 4 KiB pages the kernel spends more time per
// byte on the faults than the reader spends on the bytes. From
// kLargeBufferBytes on, buffers are therefore mapped on their own, aligned
// to the huge-page size and advised to use huge pages, which makes each
// fault cover 2 MiB. The advice is only advice: where the system does not
// take it, the memory behaves as any other.
#pragma once

#include <cstddef>
#include <memory>
#include <new>

namespace quorl {

// Below this, the ordinary allocator serves (and recycles) buffers: small
// documents reuse freed memory and seldom fault, and a private mapping per
// buffer would cost a system call each.
inline constexpr std::size_t kLargeBufferBytes = std::size_t{8} << 20;

// The huge-page size on x86-64 and on AArch64 with 4 KiB base pages.
inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

// Like operator new and delete; free_buffer takes the size that was asked for.
void* allocate_buffer(std::size_t bytes);
void free_buffer(void* p, std::size_t bytes) noexcept;

// A std allocator over allocate_buffer, for containers that may grow large.
template <class T>
struct BufferAllocator {
  using value_type = T;
  BufferAllocator() noexcept = default;
  template <class U>
  BufferAllocator(const BufferAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(allocate_buffer(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept { free_buffer(p, n * sizeof(T)); }

  template <class U>
  bool operator==(const BufferAllocator<U>&) const noexcept {
    return true;
  }
};

// An uninitialised char buffer of a known capacity.
struct BufferDeleter {
  std::size_t bytes = 0;
  void operator()(char* p) const noexcept { free_buffer(p, bytes); }
};
using CharBuffer = std::unique_ptr<char[], BufferDeleter>;

inline CharBuffer make_char_buffer(std::size_t bytes) {
  return CharBuffer(static_cast<char*>(allocate_buffer(bytes)), BufferDeleter{bytes});
}

}  // namespace quorl
