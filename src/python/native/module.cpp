// quorl._native: the native part of the quorl package. Python objects, str
// and bytes-like documents in; canonical bytes, digests and located
// refusals out. Its functions are grouped by what they take (text_functions,
// object_functions, batch_functions); this file joins their tables into one
// module. The module keeps one piece of state, the RefusedError class that
// the package hands over on import.
#include "native/py_support.h"

#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace quorl::native {
extern PyMethodDef kCheckMethods[];  // check_functions.cpp
namespace {

PyObject* register_refused_error(PyObject* /*module*/, PyObject* type) {
  return guarded([&] { return set_refused_type(type); });
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

// The interpreter keeps pointers into this table for the module's life.
std::vector<PyMethodDef>& all_methods() {
  static std::vector<PyMethodDef> methods = [] {
    std::vector<PyMethodDef> joined;
    for (PyMethodDef* table : {kModuleMethods, kTextMethods, kObjectMethods, kBatchMethods,
                               kCheckMethods, kColumnMethods}) {
      for (PyMethodDef* def = table; def->ml_name != nullptr; ++def) joined.push_back(*def);
    }
    joined.push_back({nullptr, nullptr, 0, nullptr});
    return joined;
  }();
  return methods;
}

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "quorl._native",
    "Native part of the quorl package; use the functions of quorl instead.",
    -1,       // no per-interpreter state beyond what the functions hold
    nullptr,  // methods are set by the initialiser
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace quorl::native

PyMODINIT_FUNC PyInit__native(void) {
  using namespace quorl::native;
  return guarded([]() -> PyObject* {
    g_module_def.m_methods = all_methods().data();
    return PyModule_Create(&g_module_def);
  });
}
