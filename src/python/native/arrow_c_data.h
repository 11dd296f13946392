// The Arrow C data interface: the three structs through which columns are
// handed between libraries in one process, with no copy and no shared
// library. Laid out exactly as Apache Arrow publishes them (an ABI), under
// the same guards, so that a translation unit that also includes another
// copy of them compiles.
#pragma once

#include <cstdint>

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

extern "C" {

struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;
  void (*release)(struct ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;
  void (*release)(struct ArrowArray*);
  void* private_data;
};

}  // extern "C"

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

extern "C" {

struct ArrowArrayStream {
  int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
  int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
  const char* (*get_last_error)(struct ArrowArrayStream*);
  void (*release)(struct ArrowArrayStream*);
  void* private_data;
};

}  // extern "C"

#endif  // ARROW_C_STREAM_INTERFACE

namespace quorl::native {

// Owns one of the structs above (moved in, so that its producer's copy is
// marked released) and releases it when destroyed, as the interface asks of
// a consumer.
template <class Struct>
class ArrowOwned {
 public:
  ArrowOwned() noexcept : value_{} {}
  // The interface lets a struct be moved by copying it and marking the
  // source released.
  ArrowOwned(ArrowOwned&& other) noexcept : value_{} { adopt(&other.value_); }
  ArrowOwned& operator=(ArrowOwned&&) = delete;
  ArrowOwned(const ArrowOwned&) = delete;
  ArrowOwned& operator=(const ArrowOwned&) = delete;
  ~ArrowOwned() { reset(); }

  // Takes *from over, leaving it marked released.
  void adopt(Struct* from) noexcept {
    reset();
    value_ = *from;
    from->release = nullptr;
  }
  void reset() noexcept {
    if (value_.release != nullptr) value_.release(&value_);
    value_ = Struct{};
  }
  Struct* get() noexcept { return &value_; }
  const Struct* get() const noexcept { return &value_; }
  bool live() const noexcept { return value_.release != nullptr; }

 private:
  Struct value_;
};

}  // namespace quorl::native
