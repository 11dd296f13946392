// quorl._native: the native part of the quorl package. Python objects, str
// and bytes-like documents in; canonical bytes, digests and located
// refusals out. Its functions are grouped by what they take (text_functions,
// object_functions, batch_functions, sums_functions, check_functions,
// column_functions);
// this file makes the module of them.
//
// Multi-phase initialisation: each interpreter that imports the package
// gets a module object of its own, whose state holds its RefusedError class
// (see refusals.h). What the functions keep between calls (working buffers,
// the hash thread) holds no Python object. Sub-interpreters that share the
// main interpreter's lock are supported; those with a lock of their own are
// not, since a buffer shared between interpreters (a memoryview passed
// between them) could change under a reader that holds only its own
// interpreter's lock.
#include "core/rules/profile.h"
#include "native/py_support.h"
#include "native/refusals.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace quorl::native {
namespace {

PyObject* register_refused_error(PyObject* module, PyObject* type) {
  return guarded([&] { return set_refused_error(state_of(module), type); });
}

// The command reads and writes runs of a few MiB, one after another. By
// default glibc gives blocks that large back to the system when they are
// freed, so every run's bytes cost a page fault per 4 KiB, a tenth of a
// run with two workers; kept, the next run reuses them. 32 MiB is the
// largest such threshold glibc takes; freed memory at the top of the heap
// is kept up to twice that.
constexpr int kMmapThresholdBytes = 32 << 20;
constexpr int kTrimThresholdBytes = 64 << 20;

PyObject* keep_freed_memory(PyObject* /*module*/, PyObject* /*unused*/) {
#if defined(__GLIBC__)
  mallopt(M_MMAP_THRESHOLD, kMmapThresholdBytes);
  mallopt(M_TRIM_THRESHOLD, kTrimThresholdBytes);
#endif
  Py_RETURN_NONE;
}

PyMethodDef kModuleMethods[] = {
    {"_keep_freed_memory", keep_freed_memory, METH_NOARGS,
     "Lets the process keep freed blocks of up to 32 MiB for reuse (glibc;\n"
     "elsewhere nothing). For the quorl command, which owns its process."},
    {"_set_refused_error", register_refused_error, METH_O,
     "Sets the exception class raised for refusals (done by the quorl package)."},
    {nullptr, nullptr, 0, nullptr},
};

// PROFILES: the digest profiles' names, in the core's order, for the
// package and the command to list.
int add_profiles(PyObject* module) {
  PyObject* names = PyTuple_New(static_cast<Py_ssize_t>(kProfileNames.size()));
  if (names == nullptr) return -1;
  for (std::size_t k = 0; k < kProfileNames.size(); ++k) {
    PyObject* name = PyUnicode_FromStringAndSize(kProfileNames[k].data(),
                                                 static_cast<Py_ssize_t>(kProfileNames[k].size()));
    if (name == nullptr) {
      Py_DECREF(names);
      return -1;
    }
    PyTuple_SET_ITEM(names, static_cast<Py_ssize_t>(k), name);
  }
  const int added = PyModule_AddObjectRef(module, "PROFILES", names);
  Py_DECREF(names);
  return added;
}

// Adds the functions of the module's parts, PROFILES, and
// RELEASE_LOCK_BYTES (for tests to reach both sides of that threshold).
int exec_module(PyObject* module) {
  for (PyMethodDef* table :
       {kTextMethods, kObjectMethods, kBatchMethods, kSumsMethods, kCheckMethods, kColumnMethods}) {
    if (PyModule_AddFunctions(module, table) < 0) return -1;
  }
  const auto release_lock_bytes = static_cast<long>(kReleaseLockBytes);
  if (PyModule_AddIntConstant(module, "RELEASE_LOCK_BYTES", release_lock_bytes) < 0) return -1;
  return add_profiles(module);
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  Py_VISIT(state_of(module).refused_error);
  return 0;
}

int clear_module(PyObject* module) {
  Py_CLEAR(state_of(module).refused_error);
  return 0;
}

void free_module(void* module) {
  clear_module(static_cast<PyObject*>(module));
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#if defined(Py_mod_gil)
    {Py_mod_gil, Py_MOD_GIL_USED},  // the walk reads dicts and lists as the lock leaves them
#endif
    {0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "quorl._native",
    "Native part of the quorl package; use the functions of quorl instead.",
    sizeof(ModuleState),
    kModuleMethods,
    kSlots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace
}  // namespace quorl::native

PyMODINIT_FUNC PyInit__native(void) {
  return PyModuleDef_Init(&quorl::native::g_module_def);
}
