#include "base/memory/large_buffer.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__linux__)
#include <sys/mman.h>
#define QUORL_HAVE_HUGE_PAGE_ADVICE 1
#else
#define QUORL_HAVE_HUGE_PAGE_ADVICE 0
#endif

namespace {
// Whether buffers from kMappedBufferBytes on get a mapping of their own.
constexpr bool kHaveMappedBuffers = QUORL_HAVE_HUGE_PAGE_ADVICE != 0;
}  // namespace

namespace quorl {

#if QUORL_HAVE_HUGE_PAGE_ADVICE
namespace {

std::uintptr_t round_up(std::uintptr_t v, std::size_t to) noexcept {
  return (v + to - 1) & ~(std::uintptr_t{to} - 1);
}

// The length actually mapped for a buffer of the given size (the system
// rounds to its own page size, the same way for every call).
std::size_t mapped_length(std::size_t bytes) noexcept {
  return bytes >= kLargeBufferBytes ? round_up(bytes, kHugePageBytes) : round_up(bytes, 4096);
}

}  // namespace
#endif

void* allocate_buffer(std::size_t bytes) {
#if QUORL_HAVE_HUGE_PAGE_ADVICE
  if (bytes >= kLargeBufferBytes) [[unlikely]] {
    const std::size_t length = mapped_length(bytes);
    // Map a huge page more than needed, then give back the unaligned head
    // and the tail, so that the buffer starts on a huge-page boundary.
    const std::size_t span = length + kHugePageBytes;
    if (span < length) throw std::bad_alloc();
    void* mapped = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    const auto base = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t start = round_up(base, kHugePageBytes);
    if (start > base) munmap(mapped, start - base);
    const std::uintptr_t end = start + length;
    if (base + span > end) munmap(reinterpret_cast<void*>(end), base + span - end);
    void* buffer = reinterpret_cast<void*>(start);
    madvise(buffer, length, MADV_HUGEPAGE);  // advice: a refusal changes nothing
    return buffer;
  }
  if (bytes >= kMappedBufferBytes) {
    void* mapped = mmap(nullptr, mapped_length(bytes), PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    return mapped;
  }
#endif
  // malloc rather than operator new, so that growing can realloc in place.
  void* p = std::malloc(bytes != 0 ? bytes : 1);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void free_buffer(void* p, std::size_t bytes) noexcept {
  if (p == nullptr) return;
#if QUORL_HAVE_HUGE_PAGE_ADVICE
  if (bytes >= kMappedBufferBytes) [[unlikely]] {
    munmap(p, mapped_length(bytes));
    return;
  }
#endif
  std::free(p);
}

void release_pages(void* p, std::size_t bytes, std::size_t buffer_bytes) noexcept {
#if QUORL_HAVE_HUGE_PAGE_ADVICE
  if (buffer_bytes < kMappedBufferBytes) return;
  const auto begin = round_up(reinterpret_cast<std::uintptr_t>(p), 4096);
  const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~std::uintptr_t{4095};
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
#else
  (void)p;
  (void)bytes;
  (void)buffer_bytes;
#endif
}

void* grow_buffer(void* p, std::size_t old_bytes, std::size_t used_bytes, std::size_t new_bytes) {
  const bool old_mapped = kHaveMappedBuffers && p != nullptr && old_bytes >= kMappedBufferBytes;
  const bool new_mapped = kHaveMappedBuffers && new_bytes >= kMappedBufferBytes;
#if QUORL_HAVE_HUGE_PAGE_ADVICE
  if (old_mapped && new_mapped) {
    const std::size_t old_length = mapped_length(old_bytes);
    const std::size_t new_length = mapped_length(new_bytes);
    if (new_length == old_length) return p;
    void* moved = mremap(p, old_length, new_length, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) throw std::bad_alloc();
    if (new_bytes >= kLargeBufferBytes) madvise(moved, new_length, MADV_HUGEPAGE);
    return moved;
  }
#endif
  if (!old_mapped && !new_mapped) {
    // realloc keeps the contents, often without a copy (glibc remaps its
    // own large blocks), and holds one block once it returns.
    void* grown = std::realloc(p, new_bytes != 0 ? new_bytes : 1);
    if (grown == nullptr) throw std::bad_alloc();
    return grown;
  }
  // From the heap to a mapping or back: a copy of what is used.
  void* moved = allocate_buffer(new_bytes);
  if (used_bytes != 0) std::memcpy(moved, p, used_bytes);
  free_buffer(p, old_bytes);
  return moved;
}

}  // namespace quorl
