// The quorl_core extension module, a thin module over the C-API layer
// (capi/): it binds its arguments in quorl_core's fixed wording, runs the
// core and copies the core's bytes once into the returned object.
//
// Single-phase initialisation. The module object, the id of the interpreter
// that owns it and the panic exception type are process-wide and live until
// the process ends; each thread also keeps the core's working buffers between
// its calls. Every call runs wholly on the calling thread with the
// interpreter lock held. Every QuorlError becomes a ValueError carrying its
// message.
//
// Reference discipline: OwnedRef holds every new reference this file takes,
// so each early return releases it. Arguments, PyTuple_GET_ITEM results and
// the UTF-8 views are borrowed from the caller for the duration of the call.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "base/memory/thread_scratch.h"
#include "base/result.h"
#include "capi/arguments.h"
#include "capi/boundary.h"
#include "capi/owned_ref.h"
#include "core/canonical_text.h"
#include "core/digest.h"
#include "core/exact/input_gate.h"

namespace {

namespace capi = quorl::capi;
using capi::OwnedRef;
using capi::Parameters;
using capi::Wording;

Py_ssize_t py_size(const std::string& text) noexcept {
  // A std::string never exceeds PY_SSIZE_T_MAX bytes: its max_size() is below it.
  return static_cast<Py_ssize_t>(text.size());
}

// ---------------------------------------------------------------------------
// Process-wide state. Written only under the interpreter lock during
// initialisation (the panic type on first use); the interpreter id is
// additionally claimed by compare-and-swap so that two interpreters can never
// both believe they own the module.

std::atomic<std::int64_t> g_owner_interpreter{-1};
PyObject* g_module = nullptr;      // strong reference, never released
PyObject* g_panic_type = nullptr;  // strong reference, never released

// Full, version-specific API (not the stable ABI); equal to PYTHON_API_VERSION
// on every supported interpreter.
constexpr int kApiVersion = 1013;

constexpr const char* kPanicTypeName = "quorl_core.PanicException";
constexpr const char* kPanicTypeDoc =
    "Raised when the native code of quorl_core fails internally.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so it\n"
    "will typically propagate through the whole stack and end the interpreter.";
constexpr const char* kGenericPanicText = "quorl_core failed internally without a message";

// ---------------------------------------------------------------------------
// Raising errors: one small helper per kind. Each leaves exactly one pending
// exception and returns nullptr so that callers can `return raise_...(...)`.
// When the interpreter cannot build the message itself, its own pending error
// (normally MemoryError) is what the caller sees.

// Broken invariant inside the native code. Only C API calls run here, so no
// C++ exception can start inside; should one ever escape, there is no sane
// way to report it to Python and the process ends.
PyObject* raise_panic(const char* text) noexcept {
  try {
    if (g_panic_type == nullptr) {
      g_panic_type =
          PyErr_NewExceptionWithDoc(kPanicTypeName, kPanicTypeDoc, PyExc_BaseException, nullptr);
      if (g_panic_type == nullptr) {
        return nullptr;
      }
    }
    // what() texts are not promised to be UTF-8; never fail on that account.
    OwnedRef message(
        PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace"));
    if (!message) {
      return nullptr;
    }
    PyErr_SetObject(g_panic_type, message.get());
    return nullptr;
  } catch (...) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
}

// Every QuorlError ends here: ValueError with the message as its one argument.
// The message is taken over so that the core's buffer dies with this frame.
PyObject* py_error(quorl::QuorlError error) noexcept {
  OwnedRef message(PyUnicode_FromStringAndSize(error.message.data(), py_size(error.message)));
  if (!message) {
    return nullptr;
  }
  // A str (not a tuple) as value: the exception is built as ValueError(message).
  PyErr_SetObject(PyExc_ValueError, message.get());
  return nullptr;
}

PyObject* raise_subinterpreter_refused() noexcept {
  PyErr_SetString(PyExc_ImportError,
                  "quorl_core does not support sub-interpreters: it is already initialised "
                  "in another interpreter of this process");
  return nullptr;
}

// ---------------------------------------------------------------------------
// The boundary between C++ and the interpreter (see capi/boundary.h): an
// exception other than running out of memory is a broken invariant, raised
// as PanicException.

struct Panics {
  static PyObject* internal_failure(const char* what) noexcept {
    return raise_panic(what != nullptr ? what : kGenericPanicText);
  }
};

template <class Body>
PyObject* at_ffi_boundary(Body&& body) {
  return capi::at_boundary<Panics>(std::forward<Body>(body));
}

using quorl::ScratchLease;  // the thread's buffers, kept between calls

// ---------------------------------------------------------------------------
// The two functions

// Every parameter positional-or-keyword and required, errors in the fixed wording.
constexpr const char* kCanonicalNames[] = {"tagged_json"};
constexpr Parameters kCanonicalSignature{
    "canonical_bytes_from_json", kCanonicalNames, 1, 1, 1, Wording::Fixed};
constexpr const char* kDigestNames[] = {"tagged_json", "profile"};
constexpr Parameters kDigestSignature{"digest_from_json", kDigestNames, 2, 2, 2, Wording::Fixed};

// A null result from the interpreter leaves its own error pending (MemoryError
// in practice), which is returned to the caller unchanged.
PyObject* canonical_bytes_from_json(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return at_ffi_boundary([&]() -> PyObject* {
    PyObject* bound[1];
    if (!capi::bind(kCanonicalSignature, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    std::string_view tagged_json;
    if (!capi::str_argument(kCanonicalNames[0], bound[0], tagged_json, Wording::Fixed)) {
      return nullptr;
    }
    ScratchLease scratch(tagged_json.size());  // outlives canonical, which borrows from it
    quorl::Result<quorl::CanonicalText> canonical =
        quorl::canonical_text_from_json(tagged_json, scratch.get());
    if (!canonical.ok()) {
      return py_error(std::move(canonical).error());
    }
    // The core writes the text straight into the new bytes object: one copy.
    const std::size_t size = canonical.value().size();
    OwnedRef bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!bytes) {
      return nullptr;
    }
    canonical.value().write_last(PyBytes_AS_STRING(bytes.get()));
    return bytes.release();
  });
}

PyObject* digest_from_json(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return at_ffi_boundary([&]() -> PyObject* {
    PyObject* bound[2];
    if (!capi::bind(kDigestSignature, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    // Parameter order: a bad tagged_json is reported even when profile is bad too.
    std::string_view tagged_json;
    std::string_view profile;
    if (!capi::str_argument(kDigestNames[0], bound[0], tagged_json, Wording::Fixed) ||
        !capi::str_argument(kDigestNames[1], bound[1], profile, Wording::Fixed)) {
      return nullptr;
    }
    ScratchLease scratch(tagged_json.size());
    quorl::Result<std::string> digest =
        quorl::py_digest_from_json(tagged_json, profile, scratch.get());
    if (!digest.ok()) {
      return py_error(std::move(digest).error());
    }
    return PyUnicode_FromStringAndSize(digest.value().data(), py_size(digest.value()));
  });
}

using capi::as_cfunction;

// The interpreter keeps pointers to these for the life of the function objects.
PyMethodDef g_canonical_def = {
    kCanonicalSignature.function, as_cfunction(&canonical_bytes_from_json),
    METH_FASTCALL | METH_KEYWORDS, "canonical_bytes_from_json(tagged_json)\n--\n\n"};
PyMethodDef g_digest_def = {kDigestSignature.function, as_cfunction(&digest_from_json),
                            METH_FASTCALL | METH_KEYWORDS,
                            "digest_from_json(tagged_json, profile)\n--\n\n"};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "quorl_core",  // m_name
    "",            // m_doc: the module's docstring is the empty string
    0,             // m_size: no per-module state
    nullptr,       // m_methods: functions are added by the initialiser
    nullptr,       // m_slots: single-phase initialisation
    nullptr,       // m_traverse
    nullptr,       // m_clear
    nullptr,       // m_free
};

// ---------------------------------------------------------------------------
// Initialisation

// Creates one function bound to the module, appends its __name__ to __all__
// (creating the list when the module has none) and sets it on the module.
bool add_function(PyObject* module, PyMethodDef* def) noexcept {
  OwnedRef module_name(PyModule_GetNameObject(module));
  if (!module_name) {
    return false;
  }
  OwnedRef function(PyCMethod_New(def, module, module_name.get(), nullptr));
  if (!function) {
    return false;
  }
  OwnedRef name_attr(PyUnicode_InternFromString("__name__"));
  if (!name_attr) {
    return false;
  }
  OwnedRef name(PyObject_GetAttr(function.get(), name_attr.get()));
  if (!name) {
    return false;
  }
  OwnedRef all_attr(PyUnicode_InternFromString("__all__"));
  if (!all_attr) {
    return false;
  }
  OwnedRef all(PyObject_GetAttr(module, all_attr.get()));
  if (!all) {
    OwnedRef raised(PyErr_GetRaisedException());
    if (!PyErr_GivenExceptionMatches(raised.get(), PyExc_AttributeError)) {
      PyErr_SetRaisedException(raised.release());
      return false;
    }
    // No __all__ yet: the AttributeError is expected and dropped with `raised`.
    all.reset(PyList_New(0));
    if (!all || PyObject_SetAttr(module, all_attr.get(), all.get()) < 0) {
      return false;
    }
  }
  if (PyList_Append(all.get(), name.get()) < 0) {
    return false;
  }
  // PyObject_SetAttr interns the name itself.
  return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

PyObject* init_module() noexcept {
  PyInterpreterState* interpreter = PyInterpreterState_Get();  // aborts rather than fail
  const std::int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1 && PyErr_Occurred()) {
    return nullptr;
  }
  std::int64_t owner = -1;
  if (!g_owner_interpreter.compare_exchange_strong(owner, id) && owner != id) {
    // The module object and the panic type belong to the first interpreter;
    // handing them to another one would share objects across interpreters.
    return raise_subinterpreter_refused();
  }
  if (g_module != nullptr) {
    // Re-initialisation (re-import after removal from sys.modules, reload):
    // the same module object again, as a new reference for the importer.
    return Py_NewRef(g_module);
  }
  OwnedRef module(PyModule_Create2(&g_module_def, kApiVersion));
  if (!module) {
    return nullptr;
  }
  if (!add_function(module.get(), &g_canonical_def) || !add_function(module.get(), &g_digest_def)) {
    return nullptr;  // the half-built module is dropped; nothing is kept
  }
  g_module = Py_NewRef(module.get());  // the process-wide reference
  return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_quorl_core(void) {
  return at_ffi_boundary([] { return init_module(); });
}
