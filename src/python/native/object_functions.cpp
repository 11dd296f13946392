// Python objects in: canonical_bytes, digest and to_tagged_json over any
// object the walk accepts (see object_writer.h). The walk reads Python
// objects, so the interpreter lock is held throughout.
#include <optional>
#include <string>
#include <string_view>

#include "core/digest.h"
#include "core/hash/hash_pipe.h"
#include "core/hash/sha256.h"
#include "native/kept_hash_workers.h"
#include "native/object_writer.h"
#include "native/py_support.h"
#include "native/refusals.h"

namespace quorl::native {

namespace {

// The object digest's hash pipe: the first 128 KiB of output are hashed on
// the walk's thread. Handing blocks to the kept second thread costs a
// wake-up on the other core (tens of microseconds on a VM) and the bytes'
// trip between caches; below this, hashing them here is as fast.
constexpr std::size_t kWalkHashHereBytes = std::size_t{128} << 10;

constexpr const char* kCanonicalNames[] = {"obj", "floats"};
constexpr Parameters kCanonicalParams{"canonical_bytes", kCanonicalNames, 2, 1, 1};
constexpr const char* kTaggedNames[] = {"obj", "floats"};
constexpr Parameters kTaggedParams{"to_tagged_json", kTaggedNames, 2, 1, 1};
constexpr const char* kDigestNames[] = {"obj", "profile", "floats"};
constexpr Parameters kDigestParams{"digest", kDigestNames, 3, 2, 2};

PyObject* canonical_bytes(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[2];
    FloatPolicy floats;
    if (!bind(kCanonicalParams, args, nargs, kwnames, bound) || !float_policy(bound[1], &floats))
      return nullptr;
    WalkScratchLease scratch;
    WalkScratch& work = scratch.get();
    // Written straight into the result, first sized like the thread's last one.
    if (!work.out.write_to_bytes(work.last_bytes_size + work.last_bytes_size / 8 + 64))
      return nullptr;
    ObjectWriter writer(state_of(module), work, WalkOutput::Canonical, floats);
    const bool ok = writer.write(bound[0]);
    PyObject* bytes = work.out.take_bytes();
    if (!ok) {
      Py_XDECREF(bytes);
      return nullptr;
    }
    if (bytes != nullptr) work.last_bytes_size = static_cast<std::size_t>(PyBytes_GET_SIZE(bytes));
    return bytes;
  });
}

PyObject* to_tagged_json(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[2];
    FloatPolicy floats;
    if (!bind(kTaggedParams, args, nargs, kwnames, bound) || !float_policy(bound[1], &floats))
      return nullptr;
    WalkScratchLease scratch;
    ObjectWriter writer(state_of(module), scratch.get(), WalkOutput::Tagged, floats);
    if (!writer.write(bound[0])) return nullptr;
    const OutputBuffer& out = scratch.get().out;
    return PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), nullptr);
  });
}

PyObject* digest(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[3];
    FloatPolicy floats;
    if (!bind(kDigestParams, args, nargs, kwnames, bound) || !float_policy(bound[2], &floats))
      return nullptr;
    std::string_view profile;
    if (!str_argument("profile", bound[1], profile)) return nullptr;

    // The domain line goes first; an unknown profile is reported only once
    // the object has been judged, as for a document. The walk holds the
    // interpreter lock, the hash needs none: past the first bytes of
    // output, a second thread hashes while the walk goes on.
    const std::optional<Profile> parsed = parse_profile(profile);
    Sha256 hash;
    if (parsed) hash.feed(domain_line(*parsed));
    WalkScratchLease scratch;
    HashPipe pipe(hash, KeptHashWorkers::kBlockBytes, kWalkHashHereBytes,
                  &KeptHashWorkers::instance());
    ObjectWriter writer(state_of(module), scratch.get(), WalkOutput::Digest, floats, &pipe);
    if (!writer.write(bound[0])) return nullptr;
    pipe.finish();
    if (!parsed) {
      // Not a fault of the object: no path.
      return raise_refused_text(state_of(module), unknown_profile_error(profile));
    }
    const std::string hex = to_hex(hash.finish());
    return PyUnicode_FromStringAndSize(hex.data(), static_cast<Py_ssize_t>(hex.size()));
  });
}

}  // namespace

PyMethodDef kObjectMethods[] = {
    {"canonical_bytes", as_cfunction(&canonical_bytes), METH_FASTCALL | METH_KEYWORDS,
     "canonical_bytes($module, obj, *, floats='refuse')\n--\n\n"
     "The canonical bytes of a Python object: None, bool, int, str, list, tuple\n"
     "and dict with str keys (and their subclasses). floats='str' turns a finite\n"
     "float into the string of its repr and a finite Decimal into its str();\n"
     "by default they are refused. Refusals raise RefusedError with the path of\n"
     "the value at fault; other types raise TypeError."},
    {"digest", as_cfunction(&digest), METH_FASTCALL | METH_KEYWORDS,
     "digest($module, obj, profile, *, floats='refuse')\n--\n\n"
     "SHA-256, as 64 lowercase hex digits, of the domain line of profile and the\n"
     "canonical bytes of obj, the root dict's own \"digest\" members left out."},
    {"to_tagged_json", as_cfunction(&to_tagged_json), METH_FASTCALL | METH_KEYWORDS,
     "to_tagged_json($module, obj, *, floats='refuse')\n--\n\n"
     "Tagged JSON text for obj, whose canonical bytes are those of obj:\n"
     "integers beyond +/-(2^53 - 1) as $int, tag-keyed dicts inside $obj."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quorl::native
