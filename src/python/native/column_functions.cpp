// Columns of documents: digest_column and canonical_column over any object
// that exports an Arrow array or stream through the PyCapsule interface
// (__arrow_c_array__, __arrow_c_stream__). The column's structs are moved
// out of their capsules, so that its data lives until the call ends
// whatever happens to the Python objects; then the interpreter lock is
// released for the whole of the work. The result is a capsule holding the
// result column, which _export_column hands out as Arrow capsules as often
// as asked.
#include <algorithm>
#include <memory>
#include <string_view>

#include "core/digest.h"
#include "native/arrow_column.h"
#include "native/column_walk.h"
#include "native/py_support.h"
#include "native/refusals.h"

namespace quorl::native {

namespace {

constexpr const char* kResultCapsule = "quorl.column_result";
constexpr const char* kSchemaCapsule = "arrow_schema";
constexpr const char* kArrayCapsule = "arrow_array";
constexpr const char* kStreamCapsule = "arrow_array_stream";

// More threads than this are never started for one call.
constexpr unsigned kMaxThreads = 256;

// What a call was given: one array, or a stream, moved out of its capsules.
struct ColumnSource {
  ArrowOwned<ArrowSchema> schema;
  ArrowOwned<ArrowArray> array;
  ArrowOwned<ArrowArrayStream> stream;
};

// obj.name, or nullptr without an exception when it has none.
OwnedRef optional_attribute(PyObject* obj, const char* name) {
  OwnedRef value(PyObject_GetAttrString(obj, name));
  if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
  return value;
}

template <class Struct>
bool take_capsule(PyObject* capsule, const char* name, ArrowOwned<Struct>& out) {
  if (!PyCapsule_IsValid(capsule, name)) {
    PyErr_Format(PyExc_TypeError, "the column's Arrow export did not give a '%s' capsule", name);
    return false;
  }
  auto* value = static_cast<Struct*>(PyCapsule_GetPointer(capsule, name));
  if (value->release == nullptr) {
    PyErr_Format(PyExc_ValueError, "the column's '%s' capsule was already consumed", name);
    return false;
  }
  out.adopt(value);
  return true;
}

bool take_column(PyObject* column, ColumnSource& source) {
  if (OwnedRef method = optional_attribute(column, "__arrow_c_array__")) {
    OwnedRef pair(PyObject_CallNoArgs(method.get()));
    if (!pair) return false;
    if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
      PyErr_SetString(PyExc_TypeError, "__arrow_c_array__() must return a pair of capsules");
      return false;
    }
    return take_capsule(PyTuple_GET_ITEM(pair.get(), 0), kSchemaCapsule, source.schema) &&
           take_capsule(PyTuple_GET_ITEM(pair.get(), 1), kArrayCapsule, source.array);
  }
  if (PyErr_Occurred()) return false;
  if (OwnedRef method = optional_attribute(column, "__arrow_c_stream__")) {
    OwnedRef capsule(PyObject_CallNoArgs(method.get()));
    return capsule && take_capsule(capsule.get(), kStreamCapsule, source.stream);
  }
  if (PyErr_Occurred()) return false;
  PyErr_Format(PyExc_TypeError,
               "column must export Arrow data (__arrow_c_array__ or __arrow_c_stream__, as a "
               "pyarrow Array or ChunkedArray, a polars Series and others do), not '%.200s'",
               Py_TYPE(column)->tp_name);
  return false;
}

ColumnFault read_column(ColumnSource& source, ArrowColumn& column) {
  if (source.stream.live()) return column.read_stream(source.stream.get());
  if (ColumnFault fault = column.set_schema(source.schema.get())) return fault;
  return column.add_array(source.array.get());
}

PyObject* raise_fault(const ColumnFault& fault) {
  switch (fault.kind) {
    case ColumnFault::Kind::Type:
      PyErr_SetString(PyExc_TypeError, fault.message.c_str());
      break;
    case ColumnFault::Kind::Stream: {
      OwnedRef args(Py_BuildValue("(is)", fault.code, fault.message.c_str()));
      if (args) PyErr_SetObject(PyExc_OSError, args.get());
      break;
    }
    default:
      PyErr_SetString(PyExc_ValueError, fault.message.c_str());
  }
  return nullptr;
}

// threads: None for every usable core, or an int of 1 or more.
bool threads_argument(PyObject* value, unsigned& out) {
  out = usable_cores();
  if (value == nullptr || value == Py_None) return true;
  if (!PyLong_Check(value) || PyBool_Check(value)) {
    PyErr_Format(PyExc_TypeError, "threads must be None or an int, not '%.200s'",
                 Py_TYPE(value)->tp_name);
    return false;
  }
  int overflow = 0;
  const long long count = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (count == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && count < 1)) {
    PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
    return false;
  }
  out = overflow > 0 ? kMaxThreads : static_cast<unsigned>(std::min<long long>(count, kMaxThreads));
  return true;
}

// output="hex" (the default, value nullptr) or output="raw".
bool output_argument(PyObject* value, ColumnOutput& out) {
  out = ColumnOutput::HexDigest;
  if (value == nullptr) return true;
  if (PyUnicode_Check(value)) {
    if (PyUnicode_CompareWithASCIIString(value, "hex") == 0) return true;
    if (PyUnicode_CompareWithASCIIString(value, "raw") == 0) {
      out = ColumnOutput::RawDigest;
      return true;
    }
  }
  PyErr_Format(PyExc_ValueError, "output must be \"hex\" or \"raw\", not %R", value);
  return false;
}

void free_result_capsule(PyObject* capsule) {
  delete static_cast<std::shared_ptr<const ResultColumn>*>(
      PyCapsule_GetPointer(capsule, kResultCapsule));
}

// (result capsule, rows, refused rows)
PyObject* result_tuple(std::shared_ptr<const ResultColumn> result) {
  const std::int64_t rows = result->length;
  const std::int64_t refused = rows - result->children[1].null_count;
  auto holder = std::make_unique<std::shared_ptr<const ResultColumn>>(std::move(result));
  OwnedRef capsule(PyCapsule_New(holder.get(), kResultCapsule, free_result_capsule));
  if (!capsule) return nullptr;
  holder.release();
  return Py_BuildValue("(OLL)", capsule.get(), static_cast<long long>(rows),
                       static_cast<long long>(refused));
}

// Holds the exception a call raised while the column's structs are released
// (their release callbacks may run Python code, which must not find one
// pending), and raises it again after.
class HeldException {
 public:
  HeldException() = default;
  HeldException(const HeldException&) = delete;
  HeldException& operator=(const HeldException&) = delete;
  ~HeldException() {
    if (raised_ != nullptr) PyErr_SetRaisedException(raised_);
  }
  void hold() noexcept { raised_ = PyErr_GetRaisedException(); }

 private:
  PyObject* raised_ = nullptr;
};

PyObject* run_column(PyObject* column, ColumnRequest request) {
  HeldException held;  // destroyed last, once the column is released
  ColumnSource source;
  ArrowColumn documents;
  PyObject* out = nullptr;
  if (take_column(column, source)) {
    ColumnFault fault;
    std::shared_ptr<const ResultColumn> result;
    without_lock(true, [&] {
      fault = read_column(source, documents);
      if (!fault) result = walk_column(documents, request);
    });
    out = fault ? raise_fault(fault) : result_tuple(std::move(result));
  }
  if (out == nullptr) held.hold();
  return out;
}

constexpr const char* kDigestNames[] = {"column", "profile", "floats", "output", "threads"};
constexpr Parameters kDigestParams{"digest_column", kDigestNames, 5, 2, 2};
constexpr const char* kCanonicalNames[] = {"column", "floats", "threads"};
constexpr Parameters kCanonicalParams{"canonical_column", kCanonicalNames, 3, 1, 1};

PyObject* digest_column(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[5];
    ColumnRequest request;
    if (!bind(kDigestParams, args, nargs, kwnames, bound) ||
        !str_argument("profile", bound[1], request.profile) ||
        !float_policy(bound[2], &request.floats) || !output_argument(bound[3], request.output) ||
        !threads_argument(bound[4], request.threads)) {
      return nullptr;
    }
    if (!parse_profile(request.profile))
      return raise_refused_text(state_of(module), unknown_profile_error(request.profile));
    return run_column(bound[0], request);
  });
}

PyObject* canonical_column(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[3];
    ColumnRequest request;
    if (!bind(kCanonicalParams, args, nargs, kwnames, bound) ||
        !float_policy(bound[1], &request.floats) || !threads_argument(bound[2], request.threads)) {
      return nullptr;
    }
    request.output = ColumnOutput::Canonical;
    return run_column(bound[0], request);
  });
}

template <class Struct>
void free_struct_capsule(PyObject* capsule, const char* name) {
  auto* value = static_cast<Struct*>(PyCapsule_GetPointer(capsule, name));
  if (value == nullptr) return;
  if (value->release != nullptr) value->release(value);
  delete value;
}
void free_schema_capsule(PyObject* capsule) {
  free_struct_capsule<ArrowSchema>(capsule, kSchemaCapsule);
}
void free_array_capsule(PyObject* capsule) {
  free_struct_capsule<ArrowArray>(capsule, kArrayCapsule);
}

// A capsule that owns value (released and freed with it).
template <class Struct>
OwnedRef struct_capsule(std::unique_ptr<Struct>& value, const char* name,
                        PyCapsule_Destructor destructor) {
  OwnedRef capsule(PyCapsule_New(value.get(), name, destructor));
  if (capsule) value.release();
  return capsule;
}

// _export_column(result, requested_schema=None) -> (schema, array)
PyObject* export_column(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    if (nargs < 1 || nargs > 2 || !PyCapsule_IsValid(args[0], kResultCapsule)) {
      PyErr_SetString(PyExc_TypeError, "_export_column() takes a column result");
      return nullptr;
    }
    const auto& result = *static_cast<std::shared_ptr<const ResultColumn>*>(
        PyCapsule_GetPointer(args[0], kResultCapsule));
    auto schema = std::make_unique<ArrowSchema>();
    auto array = std::make_unique<ArrowArray>();
    export_result(result, schema.get(), array.get());
    // Until each is owned by its capsule, a failure releases it here.
    struct Releaser {
      ArrowSchema* schema;
      ArrowArray* array;
      ~Releaser() {
        if (schema != nullptr && schema->release != nullptr) schema->release(schema);
        if (array != nullptr && array->release != nullptr) array->release(array);
      }
    } releaser{schema.get(), array.get()};
    OwnedRef schema_capsule = struct_capsule(schema, kSchemaCapsule, free_schema_capsule);
    if (!schema_capsule) return nullptr;
    releaser.schema = nullptr;
    OwnedRef array_capsule = struct_capsule(array, kArrayCapsule, free_array_capsule);
    if (!array_capsule) return nullptr;
    releaser.array = nullptr;
    return PyTuple_Pack(2, schema_capsule.get(), array_capsule.get());
  });
}

}  // namespace

PyMethodDef kColumnMethods[] = {
    {"digest_column", as_cfunction(&digest_column), METH_FASTCALL | METH_KEYWORDS,
     "digest_column(column, profile, *, floats='refuse', output='hex', threads=None)\n--\n\n"
     "Digests of every document of an Arrow column, in one call.\n\n"
     "Returns (result, rows, refused): result is a capsule for _export_column."},
    {"canonical_column", as_cfunction(&canonical_column), METH_FASTCALL | METH_KEYWORDS,
     "canonical_column(column, *, floats='refuse', threads=None)\n--\n\n"
     "Canonical bytes of every document of an Arrow column, shaped as\n"
     "digest_column's result."},
    {"_export_column", as_cfunction(&export_column), METH_FASTCALL,
     "_export_column(result, requested_schema=None, /)\n--\n\n"
     "A new (schema, array) pair of Arrow capsules for a column result."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quorl::native
