#include "native/object_writer.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "base/key_order.h"
#include "core/exact/decoder.h"
#include "core/exact/encoder.h"
#include "json/lex/byte_scan.h"
#include "json/lex/string_escape.h"
#include "native/dict_items.h"
#include "native/int_digits.h"

namespace quorl::native {

namespace {

constexpr std::string_view kDigestKey = "digest";
constexpr long long kMaxBareInteger = 9007199254740991LL;  // 2^53 - 1
// Output is fed to the digest's hash in pieces of about this size, while
// the bytes are still in cache, instead of all at the end.
constexpr std::size_t kFlushBytes = std::size_t{64} << 10;
// Integers up to this many bits (about 3,900 digits, under the interpreter's
// default int -> str limit of 4,300) are converted by the interpreter; larger
// ones, or any the limit refuses, by append_int_digits.
constexpr std::size_t kInterpreterDigitsBits = 13000;

// Whether a word of text holds a byte that the string form escapes: the
// scan's own test.
bool has_special(std::uint64_t word) noexcept {
  return scan_detail::word_stops<scan_detail::Stop::StringSpecial>(word) != 0;
}

#if defined(__SSE2__)
// One bit per byte of v that the string form escapes: the scan's own test.
[[gnu::always_inline]] inline unsigned special_mask(__m128i v) noexcept {
  return scan_detail::sse2_stops<scan_detail::Stop::StringSpecial>(v);
}
#endif

#if defined(__SSE2__)
constexpr std::size_t kShortString = 64;
#else
constexpr std::size_t kShortString = 16;
#endif
// Room a string form takes beyond its text: quotes, a byte after, and
// whole 16-byte words.
constexpr std::size_t kStringSlack = 3 + 16;

// Copies text of at most kShortString bytes to dst when none of it needs an
// escape: two overlapping loads instead of a scan and a call to memcpy.
[[gnu::always_inline]] inline bool copy_short_plain(char* dst, const char* text,
                                                    std::size_t size) noexcept {
#if defined(__SSE2__)
  if (size >
      32) {  // up to 64 (URLs, paths, names): four blocks, the last two overlapping the first
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + size - 32));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + size - 16));
    if ((special_mask(a) | special_mask(b) | special_mask(c) | special_mask(d)) != 0) return false;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), a);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16), b);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + size - 32), c);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + size - 16), d);
    return true;
  }
  if (size > 16) {  // up to 32: two blocks that overlap
    const __m128i head = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
    const __m128i tail = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + size - 16));
    if ((special_mask(head) | special_mask(tail)) != 0) return false;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), head);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + size - 16), tail);
    return true;
  }
#endif
  if (size >= 8) {
    std::uint64_t head, tail;
    std::memcpy(&head, text, 8);
    std::memcpy(&tail, text + size - 8, 8);
#if defined(__SSE2__)
    // Both words in one register: one pass of the scan's three tests.
    const __m128i v = _mm_set_epi64x(static_cast<long long>(tail), static_cast<long long>(head));
    if (special_mask(v) != 0) return false;
#else
    if (has_special(head) || has_special(tail)) return false;
#endif
    std::memcpy(dst, &head, 8);
    std::memcpy(dst + size - 8, &tail, 8);
    return true;
  }
  if (size >= 4) {
    std::uint32_t head, tail;
    std::memcpy(&head, text, 4);
    std::memcpy(&tail, text + size - 4, 4);
    if (has_special((std::uint64_t{tail} << 32) | head)) return false;
    std::memcpy(dst, &head, 4);
    std::memcpy(dst + size - 4, &tail, 4);
    return true;
  }
  if (size == 0) return true;
  // One to three bytes: first, middle and last cover them all, without a loop.
  const auto a = static_cast<unsigned char>(text[0]);
  const auto b = static_cast<unsigned char>(text[size / 2]);
  const auto c = static_cast<unsigned char>(text[size - 1]);
  if (is_string_special(a) || is_string_special(b) || is_string_special(c)) return false;
  dst[0] = static_cast<char>(a);
  dst[size / 2] = static_cast<char>(b);
  dst[size - 1] = static_cast<char>(c);
  return true;
}

// The two digits of n < 100 at w.
[[gnu::always_inline]] inline char* put_pair(char* w, unsigned n) noexcept {
  static constexpr char kPairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";
  std::memcpy(w, kPairs + 2 * n, 2);
  return w + 2;
}

// The one or two digits of n < 100 at w, without a leading zero.
[[gnu::always_inline]] inline char* put_lead(char* w, unsigned n) noexcept {
  if (n < 10) {
    *w = static_cast<char>('0' + n);
    return w + 1;
  }
  return put_pair(w, n);
}

// Exactly four digits of n < 10^4 at w, leading zeros kept.
[[gnu::always_inline]] inline char* put_four(char* w, unsigned n) noexcept {
  return put_pair(put_pair(w, n / 100), n % 100);
}

// The one to four digits of n < 10^4 at w, without leading zeros.
[[gnu::always_inline]] inline char* put_up_to_four(char* w, unsigned n) noexcept {
  return n < 100 ? put_lead(w, n) : put_pair(put_lead(w, n / 100), n % 100);
}

// Decimal text of u >= 10^4 at w, out of line: the inline part stays small
// in the walk's loops. Eight digits at a time from the right, through
// divisions that do not wait on one another (a loop of divisions by 100 is
// a chain as long as the number).
[[gnu::noinline]] char* put_wide(char* w, unsigned long long u) noexcept {
  unsigned eights[3];
  std::size_t count = 0;
  while (u >= 100000000) {
    eights[count++] = static_cast<unsigned>(u % 100000000);
    u /= 100000000;
  }
  const auto n = static_cast<unsigned>(u);  // the leading 1 to 8 digits
  w = n < 10000 ? put_up_to_four(w, n) : put_four(put_up_to_four(w, n / 10000), n % 10000);
  while (count > 0) {
    const unsigned eight = eights[--count];
    w = put_four(put_four(w, eight / 10000), eight % 10000);
  }
  return w;
}

// Decimal text of v at w (room for 20 bytes); returns the end. Up to four
// digits inline: integers are most of some documents, and most are small.
[[gnu::always_inline]] inline char* put_decimal(char* w, long long v) noexcept {
  if (v < 0) {
    *w++ = '-';
  }
  // The magnitude as unsigned: -LLONG_MIN does not fit a long long.
  const unsigned long long u =
      v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
  // put_up_to_four's branches, written out: in this order and with this
  // hint they are fastest in the walk's loops.
  if (u < 100) return put_lead(w, static_cast<unsigned>(u));
  if (u < 10000) [[likely]] {
    const auto n = static_cast<unsigned>(u);
    return put_pair(put_lead(w, n / 100), n % 100);
  }
  return put_wide(w, u);
}

// A lambda rather than a function: the sort calls it directly, not through a pointer.
constexpr auto key_of = [](const WalkMember& m) noexcept {
  return std::string_view(m.key, m.size);
};

// The members of a dict of up to this many are sorted in place by insertion.
constexpr std::size_t kInsertionSortMembers = 24;

// A small dict's members are sorted in place. A larger one's through
// references (prefix, position), which the library sort keeps stable
// without a buffer of its own, its members then moved into that order.
void sort_members(WalkScratch& scratch, std::span<WalkMember> members) {
  if (members.size() <= kInsertionSortMembers) {
    key_order::sort_by_key<kInsertionSortMembers>(members, key_of);
    return;
  }
  std::vector<key_order::KeyRef>& order = scratch.order;
  order.resize(members.size());
  for (std::size_t k = 0; k < members.size(); ++k) order[k] = {members[k].prefix, k};
  key_order::sort_by_key(
      std::span<key_order::KeyRef>(order),
      [&members](const key_order::KeyRef& r) { return key_of(members[r.index]); });
  scratch.reorder.assign(members.begin(), members.end());
  for (std::size_t k = 0; k < members.size(); ++k) members[k] = scratch.reorder[order[k].index];
}

bool is_digest_key(std::string_view key) noexcept {
  return key == kDigestKey;
}

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

// The UTF-8 of a str (or subclass): the data itself for compact ASCII, the
// interpreter's cached UTF-8 otherwise. Null with UnicodeEncodeError set for
// a lone surrogate.
const char* utf8_of(PyObject* text, Py_ssize_t* size) {
  if (PyUnicode_IS_COMPACT_ASCII(text)) {
    *size = PyUnicode_GET_LENGTH(text);
    return static_cast<const char*>(PyUnicode_DATA(text));
  }
  return PyUnicode_AsUTF8AndSize(text, size);
}

// decimal.Decimal when the decimal module has been imported (nothing can be
// a Decimal otherwise), else null; null with an exception set on failure.
OwnedRef imported_decimal_type(bool* failed) {
  *failed = false;
  OwnedRef name(PyUnicode_FromString("decimal"));
  if (!name) {
    *failed = true;
    return nullptr;
  }
  OwnedRef module(PyImport_GetModule(name.get()));
  if (!module) {
    *failed = PyErr_Occurred() != nullptr;
    return nullptr;
  }
  OwnedRef type(PyObject_GetAttrString(module.get(), "Decimal"));
  if (!type || !PyType_Check(type.get())) {
    PyErr_Clear();  // a module of that name without the class: nothing is a Decimal
    return nullptr;
  }
  return type;
}

// Calls the Decimal class's own predicate on obj (never a subclass override).
int decimal_predicate(PyObject* decimal_type, PyObject* obj, const char* name) {
  OwnedRef result(PyObject_CallMethod(decimal_type, name, "O", obj));
  if (!result) return -1;
  return PyObject_IsTrue(result.get());
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
    return string_at(out_.reserve_at(w, size + kStringSlack),
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
  put_string(text, static_cast<std::size_t>(size));
  return true;
}

// Short text without escapes (nearly every key and most values) is copied
// in place; the rest goes through the core's plain-run scan and escapes.
// `after` (':' after a key) is written after the closing quote.
// The string form at the cursor w, where room for size + kStringSlack bytes
// has been taken; returns the cursor after it. `after` (':' after a key)
// follows the closing quote.
[[gnu::always_inline]] inline char* ObjectWriter::string_at(char* w, const char* text,
                                                            std::size_t size, char after) {
  if (size <= kShortString && copy_short_plain(w + 1, text, size)) [[likely]] {
    w[0] = '"';
    w[size + 1] = '"';
    w[size + 2] = after;
    return w + size + 2 + (after != 0);
  }
  out_.commit_to(w);
  put_escaped_string(text, size);
  if (after != 0) out_.put(after);
  return out_.pos();
}

void ObjectWriter::put_string(const char* text, std::size_t size, char after) {
  out_.commit_to(string_at(out_.room(size + kStringSlack), text, size, after));
}

void ObjectWriter::put_escaped_string(const char* text, std::size_t size) {
  json::put_string_form(out_, std::string_view(text, size));
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

// Digits of an int beyond 64 bits, never through the object's own str() or
// repr() (a subclass may change them) and never refused for their number.
bool ObjectWriter::big_integer(PyObject* obj, std::size_t depth) {
  const std::size_t bits = _PyLong_NumBits(obj);
  if (bits == static_cast<std::size_t>(-1) && PyErr_Occurred()) return python_fault();
  if (bits <= kInterpreterDigitsBits) {
    // The interpreter may convert large ints in Python code.
    if (!may_run_python(depth)) return python_fault();
    OwnedRef text(PyLong_Type.tp_repr(obj));
    if (text) {
      Py_ssize_t size = 0;
      const char* digits = utf8_of(text.get(), &size);
      if (digits == nullptr) return python_fault();
      put_integer_text(std::string_view(digits, static_cast<std::size_t>(size)), true);
      return true;
    }
    // The process's int -> str digit limit (sys.set_int_max_str_digits).
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) return python_fault();
    PyErr_Clear();
  }
  // Beyond it, or refused by the process's digit limit: converted here, in
  // time that grows as n log n, and interruptible.
  std::string digits;
  if (!append_int_digits(obj, bits, digits)) return python_fault();
  put_integer_text(digits, true);
  return true;
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
    w = string_at(w, key, key_size, ':');
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

std::string ObjectWriter::key_segment(const char* key, std::size_t size) {
  std::string segment = "[";
  json::append_string_form(segment, std::string_view(key, size));
  segment.push_back(']');
  return segment;
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

bool ObjectWriter::other(PyObject* obj, std::size_t depth) {
  // Finding the Decimal class may run Python code.
  if (!may_run_python(depth)) return python_fault();
  bool failed = false;
  OwnedRef decimal_type = imported_decimal_type(&failed);
  if (failed) return python_fault();
  if (decimal_type) {
    // By type alone: isinstance() could consult a __class__ of the object's own.
    if (PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(decimal_type.get())))
      return decimal(obj, decimal_type.get(), depth);
  }
  return unsupported("unsupported type", obj, "");
}

bool ObjectWriter::decimal(PyObject* obj, PyObject* decimal_type, std::size_t depth) {
  if (!may_run_python(depth)) return python_fault();
  const OwnedRef held(Py_NewRef(obj));
  const int finite = decimal_predicate(decimal_type, obj, "is_finite");
  if (finite < 0) return python_fault();
  if (finite == 0) {
    const int nan = decimal_predicate(decimal_type, obj, "is_nan");  // quiet and signalling
    if (nan < 0) return python_fault();
    return refuse(nan == 1 ? msg::kNaN : msg::kInfinity);
  }
  if (floats_ == FloatPolicy::Refuse) return refuse(msg::kFloat);
  // str() may run Python code; nothing borrowed is kept across it.
  OwnedRef text(PyObject_Str(obj));
  if (!text) return python_fault();
  return string(text.get());
}

// Until now the dict members on the stack were borrowed from their dicts,
// and the open list items from their lists, which nothing could change
// while no Python code ran. From here on the walk holds them, and every
// member and item it takes later.
void ObjectWriter::own_members() noexcept {
  if (owns_members_) return;
  owns_members_ = true;
  for (const WalkMember& m : scratch_.members) {
    Py_INCREF(m.key_object);
    Py_INCREF(m.value);
  }
  for (std::size_t i = 0; i < open_count_; ++i) Py_INCREF(open_items_[i]);
}

bool ObjectWriter::may_run_python(std::size_t levels) {
  own_members();
  return charge_levels(levels);
}

// Python code run from the walk may call into it again, each time adding
// up to kMaxDepth levels of the walk to the C stack: so from the first point
// where Python code may run, the levels open then and every one opened
// after count against the interpreter's recursion limit (RecursionError, as
// json.dumps gives, rather than a stack overflow), until the walk ends (at
// most kMaxDepth more than the levels open at a time). Before that, no
// Python code runs and the walk's own depth limit holds.
bool ObjectWriter::charge_levels(std::size_t levels) {
  while (charged_ < levels) {
    if (Py_EnterRecursiveCall(" while walking an object") != 0) return false;
    ++charged_;
  }
  return true;
}

void ObjectWriter::release_levels() noexcept {
  if (!capi::holds_lock()) {  // a thread being ended: the count goes with it
    charged_ = 0;
    return;
  }
  for (; charged_ > 0; --charged_) Py_LeaveRecursiveCall();
}

void ObjectWriter::flush_if_full() {
  if (sink_ != nullptr && hold_ == 0 && out_.size() >= kFlushBytes) {
    sink_->feed(out_.data(), out_.size());
    out_.clear();
  }
}

bool ObjectWriter::refuse(std::string_view message) {
  fault_ = FaultKind::Refused;
  message_.assign(message);
  return false;
}

bool ObjectWriter::unsupported(const char* what, PyObject* obj, const char* after) {
  fault_ = FaultKind::Type;
  std::string name = Py_TYPE(obj)->tp_name;
  if (OwnedRef short_name{PyType_GetName(Py_TYPE(obj))}) {
    Py_ssize_t size = 0;
    if (const char* text = PyUnicode_AsUTF8AndSize(short_name.get(), &size))
      name.assign(text, static_cast<std::size_t>(size));
  }
  PyErr_Clear();
  message_ = std::string(what) + " '" + name + "'" + after;
  return false;
}

bool ObjectWriter::python_fault() noexcept {
  fault_ = FaultKind::Python;
  return false;
}

void ObjectWriter::raise_fault() {
  std::string path = "$";
  for (auto segment = path_.rbegin(); segment != path_.rend(); ++segment) path += *segment;
  switch (fault_) {
    case FaultKind::Refused:
      raise_refused_path(module_, message_, path);
      return;
    case FaultKind::Type: {
      const std::string text = message_ + " at " + path;
      OwnedRef message(
          PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
      if (message) PyErr_SetObject(PyExc_TypeError, message.get());
      return;
    }
    case FaultKind::Python:
    case FaultKind::None:
      break;
  }
  // The interpreter's own exception stands; where it arose is added as a
  // note (not to MemoryError, whose instances the interpreter reuses).
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "quorl._native: walk failed without an error");
    return;
  }
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) return;
  PyObject* raised = PyErr_GetRaisedException();
  const std::string note = "at " + path;
  OwnedRef result(PyObject_CallMethod(raised, "add_note", "s#", note.data(),
                                      static_cast<Py_ssize_t>(note.size())));
  if (!result) PyErr_Clear();
  PyErr_SetRaisedException(raised);
}

}  // namespace quorl::native
