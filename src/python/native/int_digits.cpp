#include "native/int_digits.h"

#include <utility>
#include <vector>

#include "capi/owned_ref.h"

namespace quorl::native {

namespace {

using capi::OwnedRef;

// Halves of at most this many bits are converted by Decimal(int) itself:
// below it the splitting costs more than it saves.
constexpr std::size_t kLeafBits = 2048;

class Converter {
 public:
  // The decimal module, and a context exact for any size (every result of
  // it is an integer of exponent 0, which str() writes as plain digits).
  bool start() {
    OwnedRef module(PyImport_ImportModule("decimal"));
    if (!module) return false;
    decimal_.reset(PyObject_GetAttrString(module.get(), "Decimal"));
    OwnedRef context_type(PyObject_GetAttrString(module.get(), "Context"));
    OwnedRef max_prec(PyObject_GetAttrString(module.get(), "MAX_PREC"));
    OwnedRef max_emax(PyObject_GetAttrString(module.get(), "MAX_EMAX"));
    OwnedRef min_emin(PyObject_GetAttrString(module.get(), "MIN_EMIN"));
    OwnedRef inexact(PyObject_GetAttrString(module.get(), "Inexact"));
    if (!decimal_ || !context_type || !max_prec || !max_emax || !min_emin || !inexact) return false;
    // Rounding would give wrong digits: it is trapped, never let pass.
    OwnedRef args(PyTuple_New(0));
    OwnedRef kwargs(Py_BuildValue("{sOsOsOs[O]}", "prec", max_prec.get(), "Emax", max_emax.get(),
                                  "Emin", min_emin.get(), "traps", inexact.get()));
    if (!args || !kwargs) return false;
    context_.reset(PyObject_Call(context_type.get(), args.get(), kwargs.get()));
    return static_cast<bool>(context_);
  }

  // value >= 0 as a Decimal; `bits` its bit length.
  OwnedRef decimal_of(PyObject* value, std::size_t bits) {
    if (bits <= kLeafBits) return OwnedRef(PyObject_CallOneArg(decimal_.get(), value));
    if (PyErr_CheckSignals() < 0) return nullptr;
    // value = high * 2^low_bits + low
    const std::size_t low_bits = bits / 2;
    OwnedRef shift(PyLong_FromSize_t(low_bits));
    if (!shift) return nullptr;
    OwnedRef high(PyNumber_Rshift(value, shift.get()));
    if (!high) return nullptr;
    OwnedRef high_part(PyNumber_Lshift(high.get(), shift.get()));
    if (!high_part) return nullptr;
    OwnedRef low(PyNumber_Subtract(value, high_part.get()));
    high_part.reset();
    if (!low) return nullptr;
    OwnedRef low_decimal = decimal_of(low.get(), low_bits);
    low.reset();
    if (!low_decimal) return nullptr;
    OwnedRef high_decimal = decimal_of(high.get(), bits - low_bits);
    high.reset();
    if (!high_decimal) return nullptr;
    PyObject* scale = power_of_two(low_bits);
    if (scale == nullptr) return nullptr;
    OwnedRef scaled = call("multiply", high_decimal.get(), scale);
    if (!scaled) return nullptr;
    return call("add", scaled.get(), low_decimal.get());
  }

 private:
  OwnedRef call(const char* method, PyObject* a, PyObject* b) {
    return OwnedRef(PyObject_CallMethod(context_.get(), method, "OO", a, b));
  }

  // 2^bits as a Decimal, kept for the conversion (halves of halves ask for
  // the same few powers); borrowed from the cache.
  PyObject* power_of_two(std::size_t bits) {
    for (const auto& [kept_bits, power] : powers_) {
      if (kept_bits == bits) return power.get();
    }
    OwnedRef power;
    if (bits <= kLeafBits) {
      OwnedRef one(PyLong_FromLong(1));
      OwnedRef shift(PyLong_FromSize_t(bits));
      if (!one || !shift) return nullptr;
      OwnedRef two_to(PyNumber_Lshift(one.get(), shift.get()));
      if (!two_to) return nullptr;
      power.reset(PyObject_CallOneArg(decimal_.get(), two_to.get()));
    } else if (PyObject* half = power_of_two(bits / 2)) {
      PyObject* other = bits % 2 == 0 ? half : power_of_two(bits - bits / 2);
      if (other == nullptr) return nullptr;
      power = call("multiply", half, other);
    }
    if (!power) return nullptr;
    powers_.emplace_back(bits, std::move(power));
    return powers_.back().second.get();
  }

  OwnedRef decimal_;
  OwnedRef context_;
  std::vector<std::pair<std::size_t, OwnedRef>> powers_;
};

}  // namespace

bool append_int_digits(PyObject* value, std::size_t bits, std::string& out) {
  // int's own slots, never a subclass's: the int it holds, and its size.
  OwnedRef exact(PyLong_Type.tp_as_number->nb_int(value));
  if (!exact) return false;
  OwnedRef zero(PyLong_FromLong(0));
  if (!zero) return false;
  const bool negative = PyObject_RichCompareBool(exact.get(), zero.get(), Py_LT) == 1;
  if (negative) exact.reset(PyLong_Type.tp_as_number->nb_negative(exact.get()));
  if (!exact) return false;
  Converter converter;
  if (!converter.start()) return false;
  OwnedRef decimal = converter.decimal_of(exact.get(), bits);
  exact.reset();
  if (!decimal) return false;
  OwnedRef text(PyObject_Str(decimal.get()));
  if (!text) return false;
  Py_ssize_t size = 0;
  const char* digits = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (digits == nullptr) return false;
  if (negative) out.push_back('-');
  out.append(digits, static_cast<std::size_t>(size));
  return true;
}

}  // namespace quorl::native
