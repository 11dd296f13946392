// The parts of the object walk that may run Python code: an int beyond 64
// bits, a Decimal (or anything else the walk does not take apart itself),
// and what the walk holds and counts from the first point where Python code
// may run (see object_writer.h).
#include <cstddef>
#include <string>
#include <string_view>

#include "native/decimal_class.h"
#include "native/int_digits.h"
#include "native/object_writer.h"

namespace quorl::native {

namespace {

// Integers up to this many bits (about 3,900 digits, under the interpreter's
// default int -> str limit of 4,300) are converted by the interpreter; larger
// ones, or any the limit refuses, by append_int_digits.
constexpr std::size_t kInterpreterDigitsBits = 13000;

}  // namespace

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
  DecimalKind kind = DecimalKind::Finite;
  if (!decimal_kind(decimal_type, obj, &kind)) return python_fault();
  if (kind != DecimalKind::Finite)
    return refuse(kind == DecimalKind::NaN ? msg::kNaN : msg::kInfinity);
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

}  // namespace quorl::native
