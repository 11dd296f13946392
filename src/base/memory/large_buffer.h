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
// buffer would cost a system call each. From here on a buffer is mapped on
// its own, so that freeing it gives the memory back to the system at once
// rather than leaving it cached in the freeing thread's heap.
inline constexpr std::size_t kMappedBufferBytes = std::size_t{1} << 20;

// From here on a mapped buffer is also aligned to huge pages and advised
// to use them.
inline constexpr std::size_t kLargeBufferBytes = std::size_t{8} << 20;

// The huge-page size on x86-64 and on AArch64 with 4 KiB base pages.
inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

// Like operator new and delete; free_buffer takes the size that was asked for.
void* allocate_buffer(std::size_t bytes);
void free_buffer(void* p, std::size_t bytes) noexcept;

// The buffer p of old_bytes (may be null with 0) as one of new_bytes, its
// first used_bytes kept. A mapped buffer is remapped, not copied, so that
// growing never holds the old and the new one at once.
void* grow_buffer(void* p, std::size_t old_bytes, std::size_t used_bytes, std::size_t new_bytes);

// Gives the memory of the whole pages within [p, p + bytes) of a buffer of
// buffer_bytes back to the system, keeping the mapping: those pages read as
// zeros when next touched. For a reader done with the front of a large
// buffer before the buffer is freed; a buffer not mapped on its own keeps
// its memory.
void release_pages(void* p, std::size_t bytes, std::size_t buffer_bytes) noexcept;

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
