// JSON Lines in chunks: one call walks a whole buffer of lines in C++ (see
// core/batch/record_batch.h) and hands back either formatted output, one bytes
// object for the lot (digest_lines, canonical_lines: what the quorl command
// writes), or one list per column (digest_records, canonical_records: what
// a data frame is built from). No Python object is made while records are
// worked on, so the interpreter lock can be released for large inputs.
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "base/memory/thread_scratch.h"
#include "core/batch/record_batch.h"
#include "native/decimal_text.h"
#include "native/py_support.h"
#include "native/refusal_text.h"
#include "native/refusals.h"

namespace quorl::native {

namespace {

using quorl::ScratchLease;

// first_line: an int from 1 up to what leaves room to number every line.
bool first_line_argument(PyObject* value, std::size_t data_size, std::size_t& out) {
  out = 1;
  if (value == nullptr) return true;
  if (!PyLong_Check(value) || PyBool_Check(value)) {
    PyErr_Format(PyExc_TypeError, "argument 'first_line' must be int, not '%.200s'",
                 Py_TYPE(value)->tp_name);
    return false;
  }
  int overflow = 0;
  const long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (small == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && small < 1)) {
    PyErr_SetString(PyExc_ValueError, "first_line must be at least 1");
    return false;
  }
  const std::size_t line = PyLong_AsSize_t(value);
  // data holds at most data_size + 1 lines; the last must still be a size_t.
  if ((line == static_cast<std::size_t>(-1) && PyErr_Occurred()) ||
      line > SIZE_MAX - data_size - 1) {
    PyErr_Clear();
    PyErr_SetString(PyExc_ValueError, "first_line is too large");
    return false;
  }
  out = line;
  return true;
}

// Room in the formatted output beyond the data's size: a few short records'
// digest lines.
constexpr std::size_t kOutSlack = 4096;

// digest_lines / canonical_lines: every result written into one buffer,
// refusals kept aside for a list of tuples.
class FormattedSink final : public RecordSink {
 public:
  struct Refusal {
    std::size_t line;
    QuorlError error;
  };

  // expected: the size of the data, which out is sized for up front (a
  // digest line is shorter than a typical record, and canonical text is
  // seldom longer than its source): growing it means copies and new pages.
  FormattedSink(std::string_view name, std::size_t expected) : name_(name) {
    out.reserve(expected + kOutSlack);
  }

  // "<hex>  <name>:<line>\n", as sha256sum lays out its lines.
  void digested(std::size_t line, std::string_view hex) override {
    out.append(hex);
    out.append("  ");
    out.append(name_);
    out.push_back(':');
    append_number(out, line);
    out.push_back('\n');
  }
  void canonical(std::size_t /*line*/, const CanonicalText& text) override {
    const std::size_t at = out.size();
    out.resize(at + text.size() + 1);
    text.write_to(out.data() + at);
    out.back() = '\n';
  }
  void refused(std::size_t line, QuorlError error) override {
    refusals.push_back({line, std::move(error)});
  }

  std::string out;
  std::vector<Refusal> refusals;

 private:
  std::string_view name_;
};

// digest_records / canonical_records: per record its line, and a slice of
// one store holding its result or its error text.
class ColumnSink final : public RecordSink {
 public:
  struct Entry {
    std::size_t line;
    bool ok;
    std::size_t begin, size;
  };

  void digested(std::size_t line, std::string_view hex) override { add(line, true, hex); }
  void canonical(std::size_t line, const CanonicalText& text) override {
    const std::size_t at = store.size();
    store.resize(at + text.size());
    text.write_to(store.data() + at);
    entries.push_back({line, true, at, text.size()});
  }
  void refused(std::size_t line, QuorlError error) override {
    const std::size_t at = store.size();
    append_refusal_text(store, error);
    entries.push_back({line, false, at, store.size() - at});
  }

  std::vector<Entry> entries;
  std::string store;

 private:
  void add(std::size_t line, bool ok, std::string_view text) {
    entries.push_back({line, ok, store.size(), text.size()});
    store.append(text);
  }
};

OwnedRef text_object(std::string_view text) {
  // Core messages are UTF-8; never fail on that account.
  return OwnedRef(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

// (out, refusals, records)
PyObject* formatted_result(const FormattedSink& sink, std::size_t records) {
  OwnedRef out(
      PyBytes_FromStringAndSize(sink.out.data(), static_cast<Py_ssize_t>(sink.out.size())));
  OwnedRef refusals(PyList_New(static_cast<Py_ssize_t>(sink.refusals.size())));
  OwnedRef count(PyLong_FromSize_t(records));
  if (!out || !refusals || !count) return nullptr;
  for (std::size_t i = 0; i < sink.refusals.size(); ++i) {
    const FormattedSink::Refusal& r = sink.refusals[i];
    OwnedRef line(PyLong_FromSize_t(r.line));
    OwnedRef message = text_object(r.error.message);
    const Location at = location_of(r.error);
    if (!line || !message || !at.ok()) return nullptr;
    PyObject* item =
        PyTuple_Pack(5, line.get(), message.get(), at.line.get(), at.column.get(), at.offset.get());
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(refusals.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return PyTuple_Pack(3, out.get(), refusals.get(), count.get());
}

// (lines, results, errors); results are str (digests) or bytes (canonical).
PyObject* column_result(const ColumnSink& sink, bool results_as_bytes) {
  const auto n = static_cast<Py_ssize_t>(sink.entries.size());
  OwnedRef lines(PyList_New(n));
  OwnedRef results(PyList_New(n));
  OwnedRef errors(PyList_New(n));
  if (!lines || !results || !errors) return nullptr;
  // A new list holds NULLs until filled, which the interpreter tolerates
  // should it be freed early.
  for (Py_ssize_t i = 0; i < n; ++i) {
    const ColumnSink::Entry& e = sink.entries[static_cast<std::size_t>(i)];
    const std::string_view text(sink.store.data() + e.begin, e.size);
    PyObject* line = PyLong_FromSize_t(e.line);
    if (line == nullptr) return nullptr;
    PyList_SET_ITEM(lines.get(), i, line);
    PyObject* result;
    PyObject* error;
    if (e.ok) {
      result = results_as_bytes
                   ? PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))
                   : PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
      if (result == nullptr) return nullptr;
      error = Py_NewRef(Py_None);
    } else {
      error = text_object(text).release();
      if (error == nullptr) return nullptr;
      result = Py_NewRef(Py_None);
    }
    PyList_SET_ITEM(results.get(), i, result);
    PyList_SET_ITEM(errors.get(), i, error);
  }
  return PyTuple_Pack(3, lines.get(), results.get(), errors.get());
}

// The arguments every function takes: data, then profile for the digests,
// then name for digest_lines, then first_line and floats.
struct BatchArguments {
  Document data;
  std::string_view profile;
  Document name;  // str, or bytes: a file name that is not UTF-8 keeps its bytes
  std::size_t first_line = 1;
  FloatPolicy floats = FloatPolicy::Refuse;
};

bool take_arguments(PyObject* const* bound, bool has_profile, bool has_name, BatchArguments& a) {
  std::size_t next = 1;
  if (!a.data.take("data", bound[0])) return false;
  if (has_profile && !str_argument("profile", bound[next++], a.profile)) return false;
  if (has_name && !a.name.take("name", bound[next++])) return false;
  return first_line_argument(bound[next], a.data.text().size(), a.first_line) &&
         float_policy(bound[next + 1], &a.floats);
}

constexpr const char* kDigestLinesNames[] = {"data", "profile", "name", "first_line", "floats"};
constexpr Parameters kDigestLinesParams{"digest_lines", kDigestLinesNames, 5, 2, 3};
constexpr const char* kCanonicalLinesNames[] = {"data", "first_line", "floats"};
constexpr Parameters kCanonicalLinesParams{"canonical_lines", kCanonicalLinesNames, 3, 1, 1};
constexpr const char* kDigestRecordsNames[] = {"data", "profile", "first_line", "floats"};
constexpr Parameters kDigestRecordsParams{"digest_records", kDigestRecordsNames, 4, 2, 2};
constexpr Parameters kCanonicalRecordsParams{"canonical_records", kCanonicalLinesNames, 3, 1, 1};

// One body for the four functions: bind, walk with the lock released when
// that is safe and worth it, then build the result with the lock held.
// formatted: lines of output (FormattedSink), else columns (ColumnSink).
template <const Parameters& params, bool digest, bool formatted>
PyObject* run_batch(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  using Sink = std::conditional_t<formatted, FormattedSink, ColumnSink>;
  return guarded([&]() -> PyObject* {
    PyObject* bound[5];
    if (!bind(params, args, nargs, kwnames, bound)) return nullptr;
    BatchArguments a;
    if (!take_arguments(bound, digest, digest && formatted, a)) return nullptr;
    Sink sink = [&] {
      if constexpr (formatted)
        return FormattedSink(a.name.text(), a.data.text().size());
      else
        return ColumnSink();
    }();
    ScratchLease scratch;
    std::size_t records = 0;
    std::optional<QuorlError> refused;
    without_lock(may_release_lock(a.data), [&] {
      const std::string_view text = a.data.text();
      const bool utf8 = a.data.from_str();
      if (digest) {
        Result<std::size_t> walked =
            digest_record_lines(text, a.first_line, a.profile, sink, scratch.get(), utf8, a.floats);
        if (walked.ok())
          records = walked.value();
        else
          refused = std::move(walked).error();
      } else {
        records = canonical_record_lines(text, a.first_line, sink, scratch.get(), utf8, a.floats);
      }
    });
    if (refused) return raise_refused_text(state_of(module), *refused);
    if constexpr (formatted)
      return formatted_result(sink, records);
    else
      return column_result(sink, !digest);
  });
}

// line_ends(data) -> (end, newlines), for a reader that hands out runs of
// whole lines (see whole_lines).
PyObject* line_ends(PyObject*, PyObject* data) {
  return guarded([&]() -> PyObject* {
    Document doc;
    if (!doc.take("data", data)) return nullptr;
    const WholeLines lines = whole_lines(doc.text());
    return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(lines.end),
                         static_cast<Py_ssize_t>(lines.newlines));
  });
}

}  // namespace

PyMethodDef kBatchMethods[] = {
    {"digest_lines", as_cfunction(&run_batch<kDigestLinesParams, true, true>),
     METH_FASTCALL | METH_KEYWORDS,
     "digest_lines(data, profile, *, name, first_line=1, floats='refuse')\n--\n\n"
     "Digests every record of a chunk of JSON Lines in one call.\n\n"
     "data holds complete lines (the last may lack its newline), the first\n"
     "numbered first_line; lines of only spaces, tabs and CRs are skipped.\n"
     "Returns (out, refusals, records): out holds b'<hex>  <name>:<line>\\n'\n"
     "for each digested record, in order (name, a str or bytes, is written\n"
     "as given); refusals one tuple\n"
     "(record_line, message, line, column, offset) per refused record, the\n"
     "location within the record (None when not located); records the\n"
     "number of non-blank lines. An unknown profile raises RefusedError.\n"
     "floats='str' takes floats as strings, as digest_from_json does."},
    {"canonical_lines", as_cfunction(&run_batch<kCanonicalLinesParams, false, true>),
     METH_FASTCALL | METH_KEYWORDS,
     "canonical_lines(data, *, first_line=1, floats='refuse')\n--\n\n"
     "Canonical bytes of every record of a chunk of JSON Lines.\n\n"
     "As digest_lines, but out holds each accepted record's canonical bytes\n"
     "followed by b'\\n'."},
    {"digest_records", as_cfunction(&run_batch<kDigestRecordsParams, true, false>),
     METH_FASTCALL | METH_KEYWORDS,
     "digest_records(data, profile, *, first_line=1, floats='refuse')\n--\n\n"
     "Per-record columns for a chunk of JSON Lines: (lines, digests, errors).\n\n"
     "One entry per non-blank line: its line number, its digest or None, and\n"
     "its refusal text ('line L column C: <message>' when located) or None.\n"
     "An unknown profile raises RefusedError."},
    {"canonical_records", as_cfunction(&run_batch<kCanonicalRecordsParams, false, false>),
     METH_FASTCALL | METH_KEYWORDS,
     "canonical_records(data, *, first_line=1, floats='refuse')\n--\n\n"
     "As digest_records, with each record's canonical bytes (or None)."},
    {"line_ends", &line_ends, METH_O,
     "line_ends(data, /)\n--\n\n"
     "Where the whole lines of a buffer end: (end, newlines), end just past\n"
     "its last b'\\n' (0 when it has none), newlines the number of b'\\n'\n"
     "before it."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quorl::native
