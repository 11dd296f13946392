// Documents as text: canonical_bytes_from_json and digest_from_json over a
// str or any bytes-like object. Bytes are checked for UTF-8 here, in place,
// so that a file's contents need never become a str; the core then reads
// them exactly as it reads a str's UTF-8. Refusals are located.
#include <optional>
#include <string>

#include "base/memory/thread_scratch.h"
#include "core/canonical_text.h"
#include "core/digest.h"
#include "core/exact/input_gate.h"
#include "native/py_support.h"
#include "native/refusals.h"

namespace quorl::native {

namespace {

using quorl::ScratchLease;

// A refusal for bytes that are not UTF-8, or nothing. A str's text is valid
// by construction and is not checked again.
std::optional<QuorlError> utf8_fault(const Document& doc) {
  if (doc.from_str()) return std::nullopt;
  Result<Unit> checked = check_utf8(doc.text());
  if (checked.ok()) return std::nullopt;
  return std::move(checked).error();
}

constexpr const char* kCanonicalNames[] = {"doc", "floats"};
constexpr Parameters kCanonicalParams{"canonical_bytes_from_json", kCanonicalNames, 2, 1, 1};
constexpr const char* kDigestNames[] = {"doc", "profile", "floats"};
constexpr Parameters kDigestParams{"digest_from_json", kDigestNames, 3, 2, 2};

PyObject* canonical_bytes_from_json(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind(kCanonicalParams, args, nargs, kwnames, bound)) return nullptr;
    Document doc;
    FloatPolicy floats;
    if (!doc.take("doc", bound[0]) || !float_policy(bound[1], &floats)) return nullptr;
    ScratchLease scratch(doc.text().size());  // outlives canonical, which borrows from it
    std::optional<QuorlError> fault;
    std::optional<Result<CanonicalText>> canonical;
    without_lock(may_release_lock(doc), [&] {
      fault = utf8_fault(doc);
      if (!fault) {
        canonical.emplace(
            canonical_text_from_json(doc.text(), scratch.get(), false, nullptr, nullptr, floats));
      }
    });
    if (fault) return raise_refused_text(state_of(module), *fault);
    if (!canonical->ok()) return raise_refused_text(state_of(module), canonical->error());
    CanonicalText& text = canonical->value();
    OwnedRef bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(text.size())));
    if (!bytes) return nullptr;
    // Emitting a large text is a good part of the work: other threads may
    // run meanwhile, since neither the text nor the new object is shared.
    without_lock(may_release_lock(doc), [&] { text.write_last(PyBytes_AS_STRING(bytes.get())); });
    return bytes.release();
  });
}

PyObject* digest_from_json(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[3];
    if (!bind(kDigestParams, args, nargs, kwnames, bound)) return nullptr;
    Document doc;
    std::string_view profile;
    FloatPolicy floats;
    if (!doc.take("doc", bound[0]) || !str_argument("profile", bound[1], profile) ||
        !float_policy(bound[2], &floats))
      return nullptr;
    ScratchLease scratch(doc.text().size());
    std::optional<QuorlError> fault;
    std::optional<Result<std::string>> digest;
    without_lock(may_release_lock(doc), [&] {
      fault = utf8_fault(doc);
      if (!fault) {
        digest.emplace(pipelined_digest_from_json(doc.text(), profile, scratch.get(),
                                                  kHashThreadFromBytes, floats));
      }
    });
    if (fault) return raise_refused_text(state_of(module), *fault);
    if (!digest->ok()) return raise_refused_text(state_of(module), digest->error());
    const std::string& hex = digest->value();
    return PyUnicode_FromStringAndSize(hex.data(), static_cast<Py_ssize_t>(hex.size()));
  });
}

}  // namespace

PyMethodDef kTextMethods[] = {
    {"canonical_bytes_from_json", as_cfunction(&canonical_bytes_from_json),
     METH_FASTCALL | METH_KEYWORDS,
     "canonical_bytes_from_json(doc, *, floats='refuse')\n--\n\n"
     "Canonical bytes of a tagged JSON document given as str or bytes-like.\n\n"
     "Bytes must be UTF-8; they are checked in place, never decoded to str.\n"
     "floats='str' turns a number with a fraction or an exponent into the\n"
     "string of its float's repr, as canonical_bytes(json.loads(doc),\n"
     "floats='str') would (an infinity such as 1e400 is still refused).\n"
     "Raises quorl.RefusedError, located by line, column and byte offset.\n"
     "The interpreter lock is released while a str, a bytes or a memoryview of\n"
     "a bytes, of 64 KiB or more, is worked on; other buffers (bytearray, mmap,\n"
     "views of them, subclasses of bytes) may change under a reader, so they\n"
     "are read with the lock held."},
    {"digest_from_json", as_cfunction(&digest_from_json), METH_FASTCALL | METH_KEYWORDS,
     "digest_from_json(doc, profile, *, floats='refuse')\n--\n\n"
     "64 lowercase hex digits: SHA-256 of the profile's domain line and the\n"
     "canonical bytes, the root object's \"digest\" members left out.\n\n"
     "doc is a str or bytes-like object, as for canonical_bytes_from_json;\n"
     "the same lock and floats rules apply. Raises quorl.RefusedError."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quorl::native
