// Emitting a read's canonical text: the raw text copied through, with each
// recorded object emitted as its record says, into a sink (a string, a
// caller's buffer, a hash, or a count).
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

#include "base/memory/large_buffer.h"
#include "core/direct/copy_small.h"
#include "core/direct/direct_path.h"
#include "core/direct/records.h"

namespace quorl::direct_detail {

// Writes the canonical text by copying the raw text and stepping into each
// recorded object. Recursion follows the nesting, at most the raw depth.
template <class Sink>
class DirectEmitter {
 public:
  DirectEmitter(const DirectText& doc, Sink& sink) : doc_(doc), sink_(sink) {}

  void run() { span(0, doc_.raw_size_, 0, doc_.objects_.size()); }

 private:
  void put(std::size_t from, std::size_t to) { sink_.put(doc_.raw_data() + from, to - from); }

  // Text of the emitter's own, which has no room past its end to read.
  template <std::size_t N>
  void literal(const char (&text)[N]) {
    if constexpr (requires { sink_.put_exact(text, N - 1); }) {
      sink_.put_exact(text, N - 1);
    } else {
      sink_.put(text, N - 1);
    }
  }

  // A sink that gives the raw text back as it is copied is told how far the
  // raw text has been read for good: everything outside a sorted object's
  // members, which are read out of order, is read once and in order.
  static constexpr bool kReleases = requires(Sink & s) { s.copied_before(std::size_t{}); };

  // The raw text [from, to), read in order; for a sink that gives it back,
  // in steps, each given back once copied.
  void put_in_order(std::size_t from, std::size_t to) {
    if constexpr (kReleases) {
      if (sorted_depth_ == 0) {
        for (; to - from > kHugePageBytes; from += kHugePageBytes) {
          put(from, from + kHugePageBytes);
          sink_.copied_before(from + kHugePageBytes);
        }
        put(from, to);
        sink_.copied_before(to);
        return;
      }
    }
    put(from, to);
  }

  // The raw text [from, to), with the recorded objects [k, k_end) inside it.
  void span(std::size_t from, std::size_t to, std::size_t k, std::size_t k_end) {
    while (k < k_end) {
      const ObjectRecord& o = doc_.objects_[k];
      put_in_order(from, o.begin);
      object(k);
      from = o.end;
      k = o.next;
    }
    put_in_order(from, to);
  }

  void object(std::size_t k) {
    const ObjectRecord& o = doc_.objects_[k];
    switch (o.kind) {
      case ObjectRecord::Kind::Span:
        span(o.begin, o.end, k + 1, o.next);
        break;
      case ObjectRecord::Kind::Sorted:
        if constexpr (kReleases) ++sorted_depth_;
        literal("{");
        for (std::size_t m = o.members.first; m < o.members.last; ++m) {
          if (m != o.members.first) literal(",");
          const MemberRecord& r = doc_.members_[m];
          // Most members hold no recorded object: one copy, no walk.
          if (r.records_first == r.records_end) {
            put(r.begin, r.end);
          } else {
            span(r.begin, r.end, r.records_first, r.records_end);
          }
        }
        literal("}");
        if constexpr (kReleases) --sorted_depth_;
        break;
      case ObjectRecord::Kind::Lift:
        span(o.payload.begin, o.payload.end, o.payload.records_first, o.payload.records_end);
        break;
      case ObjectRecord::Kind::Int:
        if (o.negative) literal("-");
        put(o.digits.begin, o.digits.end);
        break;
      case ObjectRecord::Kind::Zero:
        literal("0");
        break;
      case ObjectRecord::Kind::Null:
        literal("null");
        break;
    }
  }

  const DirectText& doc_;
  Sink& sink_;
  std::size_t sorted_depth_ = 0;  // sorted objects open (for kReleases)
};

struct StringSink {
  std::string& out;
  void put(const char* data, std::size_t size) { out.append(data, size); }
};

struct CountSink {
  std::size_t size = 0;
  void put(const char*, std::size_t n) { size += n; }
};

struct BufferSink {
  char* dst;
  void put(const char* data, std::size_t n) {
    copy_small(dst, data, n);
    dst += n;
  }
};

// A BufferSink that gives the raw text's memory back to the system, in
// whole huge pages, as the emitter copies it for the last time: the raw text
// shrinks as the result grows, instead of both being whole at once.
struct ReleasingBufferSink {
  char* dst;
  char* raw;              // the raw text's buffer (aligned to huge pages)...
  std::size_t raw_bytes;  // ...and its capacity
  std::size_t released = 0;
  void put(const char* data, std::size_t n) {
    copy_small(dst, data, n);
    dst += n;
  }
  void copied_before(std::size_t at) noexcept {
    const std::size_t to = at & ~(kHugePageBytes - 1);
    if (to <= released) return;
    release_pages(raw + released, to - released, raw_bytes);
    released = to;
  }
};

// Copies in whole 16-byte blocks, up to 15 bytes past each piece: the next
// piece overwrites them, and both the raw text and the buffer have room
// past their ends. A short piece costs one block and one well-predicted
// branch.
struct PaddedBufferSink {
  char* dst;
  void put(const char* data, std::size_t n) {
    constexpr std::size_t kBlock = 16;
    static_assert(DirectText::kTextPadding >= kBlock);
    for (std::size_t k = 0; k < n; k += kBlock) std::memcpy(dst + k, data + k, kBlock);
    dst += n;
  }
  // For a source with no room past its end.
  void put_exact(const char* data, std::size_t n) {
    std::memcpy(dst, data, n);
    dst += n;
  }
};

// Gathers the many small pieces (braces, commas, short spans) so that the
// hash (a Sha256 or a HashPipe) is fed in large runs.
template <class Hash>
class HashSink {
 public:
  explicit HashSink(Hash& hash) : hash_(hash) {}
  ~HashSink() { flush(); }
  HashSink(const HashSink&) = delete;
  HashSink& operator=(const HashSink&) = delete;

  void put(const char* data, std::size_t size) {
    if (size > sizeof buf_ - used_) {
      flush();
      if (size >= sizeof buf_) {
        hash_.feed(data, size);
        return;
      }
    }
    copy_small(buf_ + used_, data, size);
    used_ += size;
  }

 private:
  void flush() {
    hash_.feed(buf_, used_);
    used_ = 0;
  }
  Hash& hash_;
  char buf_[4096];
  std::size_t used_ = 0;
};

}  // namespace quorl::direct_detail
