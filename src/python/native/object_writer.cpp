#include "native/object_writer.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <span>
#include <string_view>

#include "base/key_order.h"
#include "core/exact/decoder.h"
#include "core/exact/encoder.h"
#include "native/decimal_text.h"
#include "native/dict_items.h"
#include "native/member_sort.h"
#include "native/string_form.h"

namespace quorl::native {

namespace {

constexpr std::string_view kDigestKey = "digest";
constexpr long long kMaxBareInteger = 9007199254740991LL;  // 2^53 - 1
// Output is fed to the digest's hash in pieces of about this size, while
// the bytes are still in cache, instead of all at the end.
constexpr std::size_t kFlushBytes = std::size_t{64} << 10;

bool is_digest_key(std::string_view key) noexcept {
  return key == kDigestKey;
}

}  // namespace

// A list item for the time it is walked (see ObjectWriter::open_items_):
// it needs a reference of its own only if Python code runs meanwhile, which
// could take it out of its list.
class OpenItem {
 public:
  OpenItem(ObjectWriter& writer, PyObject* item) noexcept : writer_(writer) {
    if (writer_.owns_members_) Py_INCREF(item);
    writer_.open_items_[writer_.open_count_++] = item;
  }
  ~OpenItem() noexcept(false) {
    PyObject* item = writer_.open_items_[--writer_.open_count_];
    if (writer_.owns_members_) capi::let_go(item);
  }
  OpenItem(const OpenItem&) = delete;
  OpenItem& operator=(const OpenItem&) = delete;

 private:
  ObjectWriter& writer_;
};

// The levels a walk counted against the interpreter's recursion limit,
// given back when it ends, however it ends (see charge_levels).
class LevelCharges {
 public:
  explicit LevelCharges(ObjectWriter& writer) noexcept : writer_(writer) {}
  ~LevelCharges() {
    if (writer_.charged_ != 0) writer_.release_levels();
  }
  LevelCharges(const LevelCharges&) = delete;
  LevelCharges& operator=(const LevelCharges&) = delete;

 private:
  ObjectWriter& writer_;
};

ObjectWriter::ObjectWriter(const ModuleState& module, WalkScratch& scratch, WalkOutput output,
                           FloatPolicy floats, HashPipe* sink) noexcept
    : module_(module),
      scratch_(scratch),
      out_(scratch.out),
      output_(output),
      floats_(floats),
      sink_(sink) {}

bool ObjectWriter::write(PyObject* obj) {
  out_.clear();
  const LevelCharges charges(*this);
  const bool ok =
      output_ == WalkOutput::Digest && PyDict_Check(obj) ? dict(obj, 0, true) : value(obj, 0);
  if (!ok) {
    raise_fault();
    return false;
  }
  if (sink_ != nullptr) {
    sink_->feed(out_.data(), out_.size());
    out_.clear();
  }
  return true;
}

// The commonest leaves of a container, written at the cursor of the
// container's loop, which keeps it in a register: the buffer's own position
// is a store and a load away, a chain that would run through every token.
// Returns the cursor after the leaf, or null when obj is not such a leaf.
[[gnu::always_inline]] inline char* ObjectWriter::leaf_at(char* w, PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  if (type == &PyUnicode_Type && PyUnicode_IS_COMPACT_ASCII(obj)) {
    const auto size = static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj));
    return string_at(out_, out_.reserve_at(w, size + kStringSlack),
                     static_cast<const char*>(PyUnicode_DATA(obj)), size, 0);
  }
  if (type == &PyLong_Type && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj))) {
    const long long v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj));
    if (output_ == WalkOutput::Tagged && (v > kMaxBareInteger || v < -kMaxBareInteger))
      return nullptr;
    return put_decimal(out_.reserve_at(w, 20), v);  // "-9223372036854775808" at most
  }
  if (obj == Py_None || obj == Py_True || obj == Py_False) {
    w = out_.reserve_at(w, 5);
    const std::string_view word = obj == Py_None ? "null" : obj == Py_True ? "true" : "false";
    std::memcpy(w, word.data(), 5);  // each literal is followed by its NUL: 5 bytes readable
    return w + word.size();
  }
  return nullptr;
}

// Lists of up to this many items may be written whole by leaf_list_at.
constexpr Py_ssize_t kLeafListMax = 8;

// A small list of leaves only (coordinates, pairs, short vectors), written
// at the cursor of the enclosing loop: no call, no reference and no frame
// of its own. False, with w back at the list's start, when an item is not
// such a leaf; the general walk then takes the list (having redone at most
// kLeafListMax leaves). The caller checks the type and the depth: inside,
// the same tests made the walk slower.
[[gnu::always_inline]] inline bool ObjectWriter::leaf_list_at(char*& w, PyObject* list) {
  const Py_ssize_t size = PyList_GET_SIZE(list);
  if (size > kLeafListMax) return false;
  const std::size_t start = out_.offset_of(w);
  w = out_.reserve_at(w, 1);
  *w++ = '[';
  for (Py_ssize_t i = 0; i < size; ++i) {
    if (i != 0) {
      w = out_.reserve_at(w, 1);
      *w++ = ',';
    }
    char* end = leaf_at(w, PyList_GET_ITEM(list, i));
    if (end == nullptr) {
      w = out_.at_offset(start);
      return false;
    }
    w = end;
  }
  w = out_.reserve_at(w, 1);
  *w++ = ']';
  return true;
}

// Exact types first: they are nearly all that real data holds.
bool ObjectWriter::value(PyObject* obj, std::size_t depth) {
  PyTypeObject* type = Py_TYPE(obj);
  if (type == &PyUnicode_Type) return string(obj);
  if (type == &PyLong_Type) return integer(obj, depth);
  if (type == &PyDict_Type) return dict(obj, depth, false);
  if (type == &PyList_Type) return sequence(obj, depth);
  if (obj == Py_None) {
    out_.append("null", 4);
    return true;
  }
  if (obj == Py_True) {
    out_.append("true", 4);
    return true;
  }
  if (obj == Py_False) {
    out_.append("false", 5);
    return true;
  }
  if (type == &PyTuple_Type) return sequence(obj, depth);
  if (PyUnicode_Check(obj)) return string(obj);
  if (PyLong_Check(obj)) return integer(obj, depth);  // bool is an int: tested above
  if (PyDict_Check(obj)) return dict(obj, depth, false);
  if (PyList_Check(obj) || PyTuple_Check(obj)) return sequence(obj, depth);
  if (PyFloat_Check(obj)) return real(obj);
  return other(obj, depth);
}

bool ObjectWriter::string(PyObject* obj) {
  Py_ssize_t size = 0;
  const char* text = utf8_of(obj, &size);
  if (text == nullptr) return python_fault();
  put_string(out_, text, static_cast<std::size_t>(size));
  return true;
}

// signed_digits: an optional '-' then digits. Tagged text carries an
// integer beyond the exact-double range in a $int tag.
void ObjectWriter::put_integer_text(std::string_view signed_digits, bool beyond_bare) {
  if (output_ == WalkOutput::Tagged && beyond_bare) {
    out_.append("{\"$int\":\"", 9);
    out_.append(signed_digits);
    out_.append("\"}", 2);
    return;
  }
  out_.append(signed_digits);
}

bool ObjectWriter::integer(PyObject* obj, std::size_t depth) {
  long long v;
  if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj))) {
    v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj));
  } else {
    int overflow = 0;
    v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0) return big_integer(obj, depth);
    if (v == -1 && PyErr_Occurred()) return python_fault();
  }
  put_integer(v);
  return true;
}

inline void ObjectWriter::put_integer(long long v) {
  if (output_ == WalkOutput::Tagged && (v > kMaxBareInteger || v < -kMaxBareInteger)) {
    char buf[24];
    const auto end = std::to_chars(buf, buf + sizeof buf, v).ptr;
    put_integer_text(std::string_view(buf, static_cast<std::size_t>(end - buf)), true);
    return;
  }
  out_.commit_to(put_decimal(out_.room(20), v));  // "-9223372036854775808" at most
}

bool ObjectWriter::sequence(PyObject* seq, std::size_t depth) {
  if (depth >= kMaxDepth) [[unlikely]]
    return refuse(msg::kDepth);
  if (owns_members_ && !charge_levels(depth + 1)) [[unlikely]]
    return python_fault();
  const bool is_list = PyList_Check(seq);
  out_.put('[');
  char* w = out_.pos();
  for (Py_ssize_t i = 0;; ++i) {
    // A list is read afresh each step: Python code may have shortened it.
    PyObject* item;
    if (is_list) {
      const Py_ssize_t size = PyList_GET_SIZE(seq);
      if (i >= size) break;
      item = PyList_GET_ITEM(seq, i);
      // Items lie anywhere in memory: their headers are asked for ahead.
      if (i + 4 < size) __builtin_prefetch(PyList_GET_ITEM(seq, i + 4));
    } else {
      if (i >= PyTuple_GET_SIZE(seq)) break;
      item = PyTuple_GET_ITEM(seq, i);
    }
    if (i != 0) {
      w = out_.reserve_at(w, 1);
      *w++ = ',';
    }
    if (char* end = leaf_at(w, item)) {
      w = end;
    } else if (Py_IS_TYPE(item, &PyList_Type) && depth + 1 < kMaxDepth && leaf_list_at(w, item)) {
      // written whole
    } else {
      out_.commit_to(w);
      const OpenItem open(*this, item);
      if (!value(item, depth + 1)) {
        path_.push_back("[" + std::to_string(i) + "]");
        return false;
      }
      w = out_.pos();
    }
    if (sink_ != nullptr) {
      out_.commit_to(w);
      flush_if_full();
      w = out_.pos();
    }
  }
  out_.commit_to(w);
  out_.put(']');
  return true;
}

bool ObjectWriter::dict(PyObject* obj, std::size_t depth, bool skip_digest_key) {
  if (depth >= kMaxDepth) [[unlikely]]
    return refuse(msg::kDepth);
  if (owns_members_ && !charge_levels(depth + 1)) [[unlikely]]
    return python_fault();
  std::vector<WalkMember>& members = scratch_.members;
  MemberRange range(members, owns_members_);
  const std::size_t base = range.base();
  const auto expected = static_cast<std::size_t>(PyDict_GET_SIZE(obj));

  // Snapshot: keys judged and their UTF-8 taken, references held. The
  // slots are filled through a pointer (no Python code runs meanwhile, so
  // the dict keeps its size); the stack's size is right again before any
  // early return, so that the range never drops an unset slot.
  members.resize(base + expected);
  WalkMember* slot = members.data() + base;
  std::size_t taken = 0;
  DictItems items(obj);
  PyObject* key;  // borrowed from the dict until held below
  PyObject* item;
  // Keys that are all exact str are all different (a dict holds no two
  // equal keys, and equal str are equal text): only subclasses, with an
  // equality of their own, can bring equal text twice.
  bool exact_keys = true;
  while (taken < expected && items.next(&key, &item)) {
    exact_keys = exact_keys && Py_IS_TYPE(key, &PyUnicode_Type);
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(key) ? utf8_of(key, &size) : nullptr;
    if (text == nullptr) [[unlikely]] {
      members.resize(base + taken);
      if (!PyUnicode_Check(key)) return unsupported("dict key must be str, not", key, ",");
      return python_fault();
    }
    // The values are read only after the sort: their headers are asked
    // for now, so that the loads overlap.
    __builtin_prefetch(item);
    const auto n = static_cast<std::size_t>(size);
    slot[taken++] = WalkMember(key_order::prefix_of({text, n}), text, n, key, item);
    if (owns_members_) {
      Py_INCREF(key);
      Py_INCREF(item);
    }
  }
  if (taken != expected) members.resize(base + taken);

  WalkMember* first = range.first();
  const std::size_t count = range.count();
  // Equal keys (str subclasses with their own equality) are refused before
  // any value is written; left-out "digest" members do not count.
  const std::span<const WalkMember> walked(first, count);
  if (!key_order::ascending_distinct(walked, key_of)) [[unlikely]] {
    sort_members(scratch_, std::span<WalkMember>(first, count));
    for (std::size_t i = exact_keys ? count : key_order::find_equal_neighbour(walked, key_of);
         i < count; i = key_order::find_equal_neighbour(walked, key_of, i + 1)) {
      if (!(skip_digest_key && is_digest_key(key_of(first[i])))) return refuse(msg::kDuplicateKey);
    }
  }

  // Tagged text: a lone tag key would be read as a tag; $obj keeps it a dict.
  const bool wrap = output_ == WalkOutput::Tagged && count == 1 &&
                    tag_of(std::string_view(first->key, first->size), false) != Tag::None;
  if (wrap) out_.append("{\"$obj\":", 8);
  out_.put('{');
  char* w = out_.pos();
  bool written = false;
  for (std::size_t i = 0; i < count; ++i) {
    // Read out: the walk below may grow the member stack and move it.
    const WalkMember& member = members[range.base() + i];
    const char* const key = member.key;
    const std::size_t key_size = member.size;
    PyObject* const item = member.value;
    if (skip_digest_key && is_digest_key({key, key_size})) {
      // Judged like any member, then dropped.
      out_.commit_to(w);
      const std::size_t mark = out_.size();
      ++hold_;
      const bool ok = value(item, depth + 1);
      --hold_;
      out_.truncate(mark);
      if (!ok) {
        path_.push_back(key_segment(key, key_size));
        return false;
      }
      w = out_.pos();
      continue;
    }
    w = out_.reserve_at(w, 1 + key_size + kStringSlack);
    if (written) *w++ = ',';
    written = true;
    w = string_at(out_, w, key, key_size, ':');
    if (char* end = leaf_at(w, item)) {
      w = end;
    } else if (Py_IS_TYPE(item, &PyList_Type) && depth + 1 < kMaxDepth && leaf_list_at(w, item)) {
      // written whole
    } else {
      out_.commit_to(w);
      if (!value(item, depth + 1)) {
        path_.push_back(key_segment(key, key_size));
        return false;
      }
      w = out_.pos();
    }
    if (sink_ != nullptr) {
      out_.commit_to(w);
      flush_if_full();
      w = out_.pos();
    }
  }
  out_.commit_to(w);
  out_.put('}');
  if (wrap) out_.put('}');
  return true;
}

bool ObjectWriter::real(PyObject* obj) {
  const double x = PyFloat_AS_DOUBLE(obj);
  if (std::isnan(x)) return refuse(msg::kNaN);
  if (std::isinf(x)) return refuse(msg::kInfinity);
  if (floats_ == FloatPolicy::Refuse) return refuse(msg::kFloat);
  // float.__repr__'s text, whatever a subclass's own __repr__ says.
  // Digits, sign, point and exponent only: nothing to escape.
  char* w = out_.room(kFloatTextMax + 2);
  w[0] = '"';
  const std::size_t size = float_repr(x, w + 1);
  w[size + 1] = '"';
  out_.commit_to(w + size + 2);
  return true;
}

void ObjectWriter::flush_if_full() {
  if (sink_ != nullptr && hold_ == 0 && out_.size() >= kFlushBytes) {
    sink_->feed(out_.data(), out_.size());
    out_.clear();
  }
}

}  // namespace quorl::native
