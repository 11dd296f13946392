// The object walk: a Python object (None, bool, int, str, float or Decimal
// on request, list, tuple, dict with str keys, and their subclasses) to its
// canonical bytes, its digest, or tagged JSON text that means the same, in
// one depth-first pass that writes the output directly.
//
// Faults are reported as the core reports the same fault in text (its fixed
// messages, as RefusedError) with the path of the value at fault; a type
// that has no canonical form is a TypeError naming the type and the path.
// The first fault met wins: depth first, array items in order, dict members
// in canonical key order, a dict's keys all judged before its values.
//
// Python code can run during a walk only in str() of a Decimal subclass
// (floats="str"), or in the interpreter's own conversion of a large int.
// Such code may change the containers being walked. So the walk holds every
// list item it walks that is not a plain leaf, re-reads a list's length at
// each step, and, from the first point where Python code may run, holds the
// keys and values of every dict it has taken apart (before that point they
// are borrowed, which saves two reference counts per member).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/exact/encoder.h"
#include "core/hash/hash_pipe.h"
#include "core/rules/float_text.h"
#include "native/output_buffer.h"
#include "native/py_support.h"
#include "native/refusals.h"
#include "native/walk_scratch.h"

namespace quorl::native {

enum class WalkOutput : std::uint8_t {
  Canonical,  // the canonical bytes
  Tagged,     // tagged JSON: $int for integers beyond +/-(2^53 - 1), $obj around tag-keyed dicts
  Digest,     // the canonical bytes, the root dict's "digest" members left out, fed to a hash
};

class ObjectWriter {
 public:
  // With WalkOutput::Digest, `sink` receives the canonical bytes as they are
  // written; otherwise they stay in scratch.out.
  // Refusals are raised as the RefusedError of module.
  ObjectWriter(const ModuleState& module, WalkScratch& scratch, WalkOutput output,
               FloatPolicy floats, HashPipe* sink = nullptr) noexcept;

  // Walks obj. True when it has a canonical form (the output is then
  // complete); false with an exception set: RefusedError or TypeError with
  // the path, or the interpreter's own (a str with a lone surrogate gives
  // its UnicodeEncodeError, with the path added as a note).
  bool write(PyObject* obj);

 private:
  enum class FaultKind : std::uint8_t { None, Refused, Type, Python };

  bool value(PyObject* obj, std::size_t depth);
  bool string(PyObject* obj);
  bool integer(PyObject* obj, std::size_t depth);
  bool big_integer(PyObject* obj, std::size_t depth);
  bool sequence(PyObject* seq, std::size_t depth);
  bool dict(PyObject* obj, std::size_t depth, bool skip_digest_key);
  bool real(PyObject* obj);
  bool other(PyObject* obj, std::size_t depth);
  bool decimal(PyObject* obj, PyObject* decimal_type, std::size_t depth);

  char* leaf_at(char* w, PyObject* obj);
  bool leaf_list_at(char*& w, PyObject* list);
  void put_integer(long long v);
  void put_integer_text(std::string_view signed_digits, bool beyond_bare);
  static std::string key_segment(const char* key, std::size_t size);
  void flush_if_full();
  void own_members() noexcept;
  // Before Python code may run at depth `levels` (the containers open).
  // False with RecursionError set when they exceed the interpreter's limit.
  bool may_run_python(std::size_t levels);
  bool charge_levels(std::size_t levels);
  void release_levels() noexcept;
  friend class OpenItem;
  friend class LevelCharges;

  bool refuse(std::string_view message);
  bool unsupported(const char* what, PyObject* obj, const char* after);
  bool python_fault() noexcept;
  void raise_fault();

  const ModuleState& module_;
  WalkScratch& scratch_;
  OutputBuffer& out_;
  WalkOutput output_;
  FloatPolicy floats_;
  HashPipe* sink_;
  std::size_t hold_ = 0;       // > 0 while output may still be dropped: no flushing
  bool owns_members_ = false;  // whether the member stack holds references
  // The list items being walked, innermost last: borrowed from their lists
  // like the members, and held with them from own_members() on.
  std::array<PyObject*, kMaxDepth> open_items_;
  std::size_t open_count_ = 0;
  // Levels of the walk counted against the interpreter's recursion limit:
  // those open when Python code may first run, and every one opened after,
  // up to the deepest; given back when the walk ends.
  std::size_t charged_ = 0;

  FaultKind fault_ = FaultKind::None;
  std::string message_;
  std::vector<std::string> path_;  // segments, innermost first, added while unwinding
};

}  // namespace quorl::native
