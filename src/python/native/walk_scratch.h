// What a walk works in: the stack of the members of the dicts it is
// walking, and the memory a thread keeps for it between walks.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/key_order.h"
#include "base/memory/thread_scratch.h"
#include "capi/interpreter_lock.h"
#include "native/output_buffer.h"

namespace quorl::native {

// One dict member during a walk: strong references to key and value, and
// the key's UTF-8 (owned by the key object) with its first eight bytes as a
// big-endian number, which decides most comparisons in the sort.
struct WalkMember {
  // Left unset: a dict's slots are sized first and then filled.
  WalkMember() noexcept {}  // NOLINT: no initialisation on purpose
  WalkMember(std::uint64_t prefix, const char* key, std::size_t size, PyObject* key_object,
             PyObject* value) noexcept
      : prefix(prefix), key(key), size(size), key_object(key_object), value(value) {}

  std::uint64_t prefix;
  const char* key;
  std::size_t size;
  PyObject* key_object;
  PyObject* value;
};

// Working memory a thread keeps between walks: the output and the stack of
// the members of the dicts being walked (one range per open dict).
struct WalkScratch {
  OutputBuffer out;
  std::vector<WalkMember> members;
  // A large dict is sorted through references, then its members moved into
  // that order through a copy.
  std::vector<key_order::KeyRef> order;
  std::vector<WalkMember> reorder;
  std::size_t last_bytes_size = 0;  // of the last canonical_bytes result

  std::size_t held_bytes() const noexcept {
    return out.capacity() + (members.capacity() + reorder.capacity()) * sizeof(WalkMember) +
           order.capacity() * sizeof(key_order::KeyRef);
  }
  void release() noexcept {
    out.release();
    std::vector<WalkMember>().swap(members);
    std::vector<key_order::KeyRef>().swap(order);
    std::vector<WalkMember>().swap(reorder);
  }
  // A result object is left in the output only when an exception cut the
  // call short.
  void end_call() noexcept { out.drop_bytes(); }
};

// The members one dict pushed on the scratch stack, dropped (with their
// references) when the dict is done, however it ends.
// The members hold references only once the walk owns them (see
// ObjectWriter::own_members); `owned` is read when the range ends. Letting
// go of them may run Python code (see capi/owned_ref.h).
class MemberRange {
 public:
  MemberRange(std::vector<WalkMember>& members, const bool& owned) noexcept
      : members_(members), owned_(owned), base_(members.size()) {}
  ~MemberRange() noexcept(false) {
    if (owned_ && capi::holds_lock()) {
      for (std::size_t i = base_; i < members_.size(); ++i) {
        Py_DECREF(members_[i].key_object);
        Py_DECREF(members_[i].value);
      }
    }
    members_.resize(base_);
  }
  MemberRange(const MemberRange&) = delete;
  MemberRange& operator=(const MemberRange&) = delete;

  std::size_t base() const noexcept { return base_; }
  std::size_t count() const noexcept { return members_.size() - base_; }
  WalkMember* first() noexcept { return members_.data() + base_; }

 private:
  std::vector<WalkMember>& members_;
  const bool& owned_;
  std::size_t base_;
};

// The thread's walk scratch for one call, kept up to the same bound as the
// direct path's.
using WalkScratchLease = ThreadScratchLease<WalkScratch, kScratchKeepBytes>;

}  // namespace quorl::native
