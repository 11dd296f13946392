// The items of a dict in insertion order, as PyDict_Next gives them. Where
// this interpreter's table layout is known (CPython 3.12 and 3.13 with the
// GIL) a dict whose keys are all str is read straight from its entries: a
// call into the interpreter per member was a tenth of a walk over records.
// Any other dict, and any other interpreter, goes through PyDict_Next.
// Nothing may change the dict while it is read (no Python code runs).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#if !defined(Py_GIL_DISABLED) && !defined(Py_LIMITED_API) && PY_VERSION_HEX >= 0x030C0000 && \
    PY_VERSION_HEX < 0x030E0000
#define QUORL_DICT_TABLE 1
#endif

namespace quorl::native {

#if defined(QUORL_DICT_TABLE)
namespace dict_table {

// The head of a dict's key table (Objects/dictobject.c of 3.12 and 3.13);
// its indices follow, 1 << log2_index_bytes bytes, then its entries.
struct KeysHead {
  Py_ssize_t refcnt;
  std::uint8_t log2_size;
  std::uint8_t log2_index_bytes;
  std::uint8_t kind;
  std::uint32_t version;
  Py_ssize_t usable;
  Py_ssize_t nentries;
};
static_assert(sizeof(void*) != 8 || sizeof(KeysHead) == 32);

// The table kind whose keys are all exact str, and its entry: a deleted
// entry has no value.
constexpr std::uint8_t kStrKeys = 1;
struct StrEntry {
  PyObject* key;
  PyObject* value;
};

}  // namespace dict_table
#endif

class DictItems {
 public:
  explicit DictItems(PyObject* dict) noexcept : dict_(dict) {
#if defined(QUORL_DICT_TABLE)
    const auto* object = reinterpret_cast<const PyDictObject*>(dict);
    // Split tables (values apart, as in instances' dicts) are left to the interpreter.
    if (object->ma_values != nullptr) return;
    const auto* head = reinterpret_cast<const dict_table::KeysHead*>(object->ma_keys);
    if (head->kind != dict_table::kStrKeys) return;
    entries_ = reinterpret_cast<const dict_table::StrEntry*>(
        reinterpret_cast<const char*>(head) + sizeof(dict_table::KeysHead) +
        (std::size_t{1} << head->log2_index_bytes));
    end_ = head->nentries;
#endif
  }

  // The next item (borrowed references); false past the last.
  bool next(PyObject** key, PyObject** value) noexcept {
#if defined(QUORL_DICT_TABLE)
    if (entries_ != nullptr) {
      while (pos_ < end_) {
        const dict_table::StrEntry& entry = entries_[pos_++];
        if (entry.value != nullptr) [[likely]] {
          *key = entry.key;
          *value = entry.value;
          return true;
        }
      }
      return false;
    }
#endif
    return PyDict_Next(dict_, &pos_, key, value) != 0;
  }

 private:
  PyObject* dict_;
  Py_ssize_t pos_ = 0;
#if defined(QUORL_DICT_TABLE)
  const dict_table::StrEntry* entries_ = nullptr;
  Py_ssize_t end_ = 0;
#endif
};

}  // namespace quorl::native
