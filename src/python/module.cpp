// The quorl_core extension module: the only code that touches the Python C API.
//
// Single-phase initialisation. The module object, the id of the interpreter
// that owns it and the panic exception type are process-wide and live until
// the process ends; each thread also keeps the core's working buffers between
// its calls. Each call binds its arguments by hand (the interpreter's own
// binders word their errors differently), borrows the UTF-8 text of its str
// arguments, runs the core and copies the core's bytes once into the
// returned object. Every QuorlError becomes a ValueError carrying its message.
//
// Reference discipline: OwnedRef holds every new reference this file takes,
// so each early return releases it. Arguments, PyTuple_GET_ITEM results and
// the UTF-8 views are borrowed from the caller for the duration of the call.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "core/canonical_text.h"
#include "core/digest/digest.h"
#include "core/exact/input_gate.h"
#include "core/result.h"
#include "python/scratch_lease.h"

namespace {

// ---------------------------------------------------------------------------
// References

struct DecRef {
  void operator()(PyObject* object) const noexcept { Py_DECREF(object); }
};
// A strong reference this file owns; dropped on every path out of its scope.
using OwnedRef = std::unique_ptr<PyObject, DecRef>;

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
      g_panic_type = PyErr_NewExceptionWithDoc(kPanicTypeName, kPanicTypeDoc,
                                               PyExc_BaseException, nullptr);
      if (g_panic_type == nullptr) {
        return nullptr;
      }
    }
    // what() texts are not promised to be UTF-8; never fail on that account.
    OwnedRef message(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)),
                                          "replace"));
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

PyObject* raise_too_many_positional(const char* function, std::size_t params,
                                    Py_ssize_t given) noexcept {
  // "arguments" stays plural even for one parameter; only "was" follows the count.
  PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd %s given", function,
               static_cast<Py_ssize_t>(params), given, given == 1 ? "was" : "were");
  return nullptr;
}

PyObject* raise_multiple_values(const char* function, const char* param) noexcept {
  PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function, param);
  return nullptr;
}

// The keyword is echoed as the caller spelled it, whatever characters it holds.
PyObject* raise_unexpected_keyword(const char* function, PyObject* keyword) noexcept {
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function,
               keyword);
  return nullptr;
}

PyObject* raise_keyword_not_str() noexcept {
  // Unreachable from Python code: the call protocol hands over str names only.
  PyErr_SetString(PyExc_TypeError, "keywords must be strings");
  return nullptr;
}

// `names` is the quoted list of missing parameters, already joined.
PyObject* raise_missing(const char* function, std::size_t missing,
                        const std::string& names) noexcept {
  PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional %s: %s", function,
               static_cast<Py_ssize_t>(missing), missing == 1 ? "argument" : "arguments",
               names.c_str());
  return nullptr;
}

// An argument of the wrong type, named by its type's qualified name.
PyObject* raise_not_convertible(PyObject* value, const char* target) noexcept {
  OwnedRef qualname(PyType_GetQualName(Py_TYPE(value)));
  if (!qualname || !PyUnicode_Check(qualname.get())) {
    // The name is decoration; the TypeError itself must still be raised.
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'",
                 "<failed to extract type name>", target);
    return nullptr;
  }
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname.get(), target);
  return nullptr;
}

// Prefixes a pending conversion error with the parameter it concerns. Only an
// exact TypeError is rewritten (keeping its cause); anything else, such as the
// UnicodeEncodeError of a lone surrogate, reaches the caller untouched.
PyObject* wrap_argument_error(const char* param) noexcept {
  OwnedRef original(PyErr_GetRaisedException());
  if (!original) {
    return nullptr;  // nothing pending: nothing to wrap
  }
  if (Py_TYPE(original.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(original.release());  // steals the reference back
    return nullptr;
  }
  OwnedRef message(PyUnicode_FromFormat("argument '%s': %S", param, original.get()));
  if (!message) {
    return nullptr;  // the interpreter's own error replaces the original
  }
  PyErr_SetObject(PyExc_TypeError, message.get());
  OwnedRef wrapped(PyErr_GetRaisedException());
  if (Py_TYPE(wrapped.get()) == reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    // GetCause returns a new reference (or null) and SetCause steals it.
    PyException_SetCause(wrapped.get(), PyException_GetCause(original.get()));
  }
  // Otherwise building the TypeError failed and its error goes out as it is.
  PyErr_SetRaisedException(wrapped.release());
  return nullptr;
}

// ---------------------------------------------------------------------------
// The boundary between C++ and the interpreter. Running out of memory is an
// ordinary Python error; any other exception is a broken invariant.

template <class Body>
PyObject* at_ffi_boundary(Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& failure) {
    return raise_panic(failure.what());
  } catch (...) {
    return raise_panic(kGenericPanicText);
  }
}

// ---------------------------------------------------------------------------
// Argument binding

template <std::size_t N>
struct Signature {
  const char* name;  // the Python name; messages show it followed by "()"
  std::array<const char*, N> params;
};

template <std::size_t N>
using Bound = std::array<PyObject*, N>;  // borrowed from the caller's arguments

// Positional arguments fill from the left; keywords are taken in the caller's
// order and the first bad one is reported at once; missing parameters last.
template <std::size_t N>
bool bind_arguments(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, Bound<N>& bound) {
  static_assert(N >= 1 && N <= 2, "the missing-argument text joins at most two names");
  bound.fill(nullptr);
  if (nargs > static_cast<Py_ssize_t>(N)) {
    raise_too_many_positional(sig.name, N, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    bound[static_cast<std::size_t>(i)] = args[i];
  }
  // Keyword values follow the positional ones in args.
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(keyword)) {
      raise_keyword_not_str();
      return false;
    }
    std::size_t slot = N;
    for (std::size_t p = 0; p < N; ++p) {
      // Compares by value (str subclasses, embedded NULs) and never fails.
      if (PyUnicode_CompareWithASCIIString(keyword, sig.params[p]) == 0) {
        slot = p;
        break;
      }
    }
    if (slot == N) {
      raise_unexpected_keyword(sig.name, keyword);
      return false;
    }
    if (bound[slot] != nullptr) {
      raise_multiple_values(sig.name, sig.params[slot]);
      return false;
    }
    bound[slot] = args[nargs + k];
  }
  std::size_t missing = 0;
  std::string names;
  for (std::size_t p = 0; p < N; ++p) {
    if (bound[p] == nullptr) {
      if (missing != 0) {
        names += " and ";
      }
      names += '\'';
      names += sig.params[p];
      names += '\'';
      ++missing;
    }
  }
  if (missing != 0) {
    raise_missing(sig.name, missing, names);
    return false;
  }
  return true;
}

// The UTF-8 text of a str argument (or subclass), read in place from the
// interpreter's cached UTF-8 form. Valid while the caller holds the argument,
// i.e. for the whole call.
bool text_argument(const char* param, PyObject* value, std::string_view& text) noexcept {
  if (!PyUnicode_Check(value)) {
    raise_not_convertible(value, "PyString");
    wrap_argument_error(param);
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value, &size);
  if (data == nullptr) {
    wrap_argument_error(param);
    return false;
  }
  text = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

using quorl::python::ScratchLease;  // the thread's buffers, kept between calls

// ---------------------------------------------------------------------------
// The two functions

constexpr Signature<1> kCanonicalSignature{"canonical_bytes_from_json", {"tagged_json"}};
constexpr Signature<2> kDigestSignature{"digest_from_json", {"tagged_json", "profile"}};

// A null result from the interpreter leaves its own error pending (MemoryError
// in practice), which is returned to the caller unchanged.
PyObject* canonical_bytes_from_json(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return at_ffi_boundary([&]() -> PyObject* {
    Bound<1> bound;
    if (!bind_arguments(kCanonicalSignature, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    std::string_view tagged_json;
    if (!text_argument(kCanonicalSignature.params[0], bound[0], tagged_json)) {
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
    canonical.value().write_to(PyBytes_AS_STRING(bytes.get()));
    return bytes.release();
  });
}

PyObject* digest_from_json(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return at_ffi_boundary([&]() -> PyObject* {
    Bound<2> bound;
    if (!bind_arguments(kDigestSignature, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    // Parameter order: a bad tagged_json is reported even when profile is bad too.
    std::string_view tagged_json;
    std::string_view profile;
    if (!text_argument(kDigestSignature.params[0], bound[0], tagged_json) ||
        !text_argument(kDigestSignature.params[1], bound[1], profile)) {
      return nullptr;
    }
    ScratchLease scratch(tagged_json.size());
    quorl::Result<std::string> digest = quorl::py_digest_from_json(tagged_json, profile, scratch.get());
    if (!digest.ok()) {
      return py_error(std::move(digest).error());
    }
    return PyUnicode_FromStringAndSize(digest.value().data(), py_size(digest.value()));
  });
}

template <class Function>
PyCFunction as_cfunction(Function* function) noexcept {
  // Through void(*)(void) so the compiler accepts the change of signature;
  // METH_FASTCALL | METH_KEYWORDS tells the interpreter the real one.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function));
}

// The interpreter keeps pointers to these for the life of the function objects.
PyMethodDef g_canonical_def = {kCanonicalSignature.name, as_cfunction(&canonical_bytes_from_json),
                               METH_FASTCALL | METH_KEYWORDS,
                               "canonical_bytes_from_json(tagged_json)\n--\n\n"};
PyMethodDef g_digest_def = {kDigestSignature.name, as_cfunction(&digest_from_json),
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
  if (!add_function(module.get(), &g_canonical_def) ||
      !add_function(module.get(), &g_digest_def)) {
    return nullptr;  // the half-built module is dropped; nothing is kept
  }
  g_module = Py_NewRef(module.get());  // the process-wide reference
  return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_quorl_core(void) {
  return at_ffi_boundary([] { return init_module(); });
}
