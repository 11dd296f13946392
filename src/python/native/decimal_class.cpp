#include "native/decimal_class.h"

namespace quorl::native {

using capi::OwnedRef;

namespace {

// Calls the Decimal class's own predicate on obj (never a subclass override).
int decimal_predicate(PyObject* decimal_type, PyObject* obj, const char* name) {
  OwnedRef result(PyObject_CallMethod(decimal_type, name, "O", obj));
  if (!result) return -1;
  return PyObject_IsTrue(result.get());
}

}  // namespace

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

bool decimal_kind(PyObject* decimal_type, PyObject* obj, DecimalKind* kind) {
  const int finite = decimal_predicate(decimal_type, obj, "is_finite");
  if (finite < 0) return false;
  if (finite == 1) {
    *kind = DecimalKind::Finite;
    return true;
  }
  const int nan = decimal_predicate(decimal_type, obj, "is_nan");
  if (nan < 0) return false;
  *kind = nan == 1 ? DecimalKind::NaN : DecimalKind::Infinity;
  return true;
}

}  // namespace quorl::native
