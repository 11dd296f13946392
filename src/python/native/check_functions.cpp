// `quorl check`'s records: check_records checks a run of lines of a JSON
// Lines file against the entries parse_sums (sums_functions.cpp) grouped
// for it and writes the verdict lines. No Python object is made per record,
// only per failure, so memory follows the run, not the number of lines.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/memory/thread_scratch.h"
#include "core/batch/record_batch.h"
#include "core/batch/sums_check.h"
#include "core/batch/sums_line.h"
#include "core/digest.h"
#include "native/decimal_text.h"
#include "native/py_support.h"
#include "native/refusals.h"

namespace quorl::native {

namespace {

using quorl::ScratchLease;

// The start of a verdict line's name: the escape mark and the escaped
// file name, once per call.
std::string line_prefix(std::string_view name) {
  std::string prefix;
  if (sums_name_needs_escape(name)) {
    prefix.push_back('\\');
    append_escaped_sums_name(name, prefix);
  } else {
    prefix.assign(name);
  }
  return prefix;
}

// "<prefix>:<line>: <verdict>\n", a record's verdict line.
void append_verdict(std::string& out, std::string_view prefix, std::size_t line,
                    std::string_view verdict) {
  out.append(prefix);
  out.push_back(':');
  append_number(out, line);
  out.append(": ");
  out.append(verdict);
  out.push_back('\n');
}

// check_records: verdict lines written as they come, failures kept aside.
class VerdictSink final : public CheckSink {
 public:
  struct Problem {
    std::size_t line;
    std::optional<QuorlError> error;  // none: the line is blank
  };

  VerdictSink(std::string prefix, int show) : prefix_(std::move(prefix)), show_(show) {}

  void matched(std::size_t line) override {
    ++ok;
    if (show_ >= 2) write(line, "OK");
  }
  void mismatched(std::size_t line) override {
    ++failed;
    if (first_mismatch == 0) first_mismatch = line;
    if (show_ >= 1) write(line, "FAILED");
  }
  void refused(std::size_t line, QuorlError error) override {
    problems.push_back({line, std::move(error)});
    if (show_ >= 1) write(line, "FAILED");
  }
  void no_record(std::size_t line) override {
    problems.push_back({line, std::nullopt});
    if (show_ >= 1) write(line, "FAILED");
  }

  std::string out;
  std::vector<Problem> problems;
  std::size_t ok = 0, failed = 0, first_mismatch = 0;

 private:
  void write(std::size_t line, std::string_view verdict) {
    append_verdict(out, prefix_, line, verdict);
  }

  std::string prefix_;
  int show_;
};

PyObject* problem_tuple(const VerdictSink::Problem& p) {
  if (!p.error)
    return Py_BuildValue("(nOOOO)", static_cast<Py_ssize_t>(p.line), Py_None, Py_None, Py_None,
                         Py_None);
  const QuorlError& e = *p.error;
  OwnedRef message(
      PyUnicode_DecodeUTF8(e.message.data(), static_cast<Py_ssize_t>(e.message.size()), "replace"));
  const Location at = location_of(e);
  if (!message || !at.ok()) return nullptr;
  return Py_BuildValue("(nOOOO)", static_cast<Py_ssize_t>(p.line), message.get(), at.line.get(),
                       at.column.get(), at.offset.get());
}

// The first of `others` under which the record on `line` has the digest
// listed for it, or None.
PyObject* matching_profile(std::string_view data, std::size_t first_line, std::size_t line,
                           ListedRecords listed, PyObject* others, DirectText& scratch,
                           FloatPolicy floats) {
  const std::optional<std::string_view> record = line_of(data, first_line, line);
  const std::size_t entry = listed.first_from(line);
  if (!record || entry >= listed.size() || others == nullptr) Py_RETURN_NONE;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(others); ++i) {
    std::string_view profile;
    if (!str_argument("others", PyTuple_GET_ITEM(others, i), profile)) return nullptr;
    Result<std::string> hex =
        pipelined_digest_from_json(*record, profile, scratch, kHashThreadFromBytes, floats);
    if (!hex.ok()) continue;
    if (listed.matches(entry, hex.value())) return Py_NewRef(PyTuple_GET_ITEM(others, i));
  }
  Py_RETURN_NONE;
}

constexpr const char* kCheckRecordsNames[] = {"data",       "profile", "entries", "name",
                                              "first_line", "show",    "others",  "floats"};
constexpr Parameters kCheckRecordsParams{"check_records", kCheckRecordsNames, 8, 3, 4};

PyObject* check_records(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[8];
    if (!bind(kCheckRecordsParams, args, nargs, kwnames, bound)) return nullptr;
    FloatPolicy floats = FloatPolicy::Refuse;
    if (!float_policy(bound[7], &floats)) return nullptr;
    Document data, entries, name;
    std::string_view profile;
    std::size_t first_line = 1, show = 2;
    if (!data.take("data", bound[0]) || !str_argument("profile", bound[1], profile) ||
        !entries.take("entries", bound[2]) || !name.take("name", bound[3]) ||
        !size_argument("first_line", bound[4], 1, first_line) ||
        !size_argument("show", bound[5], 2, show))
      return nullptr;
    PyObject* others = bound[6];
    if (others != nullptr && others != Py_None && !PyTuple_Check(others)) {
      PyErr_SetString(PyExc_TypeError, "argument 'others' must be a tuple of str");
      return nullptr;
    }
    if (entries.text().size() % kListedRecordBytes != 0) {
      PyErr_SetString(PyExc_ValueError, "entries is not a whole number of entries");
      return nullptr;
    }
    const ListedRecords listed(entries.text());
    VerdictSink sink(line_prefix(name.text()), static_cast<int>(show));
    sink.out.reserve(listed.size() * (name.text().size() + 32));
    ScratchLease scratch;
    std::optional<QuorlError> refused;
    without_lock(may_release_lock(data) && entries.immutable(), [&] {
      Result<Unit> checked = check_record_lines(data.text(), first_line, profile, listed, sink,
                                                scratch.get(), data.from_str(), floats);
      if (!checked.ok()) refused = std::move(checked).error();
    });
    if (refused) return raise_refused_text(state_of(module), *refused);
    OwnedRef hint(sink.first_mismatch != 0 && others != nullptr && others != Py_None
                      ? matching_profile(data.text(), first_line, sink.first_mismatch, listed,
                                         others, scratch.get(), floats)
                      : Py_NewRef(Py_None));
    OwnedRef problems(PyList_New(static_cast<Py_ssize_t>(sink.problems.size())));
    if (!hint || !problems) return nullptr;
    for (std::size_t i = 0; i < sink.problems.size(); ++i) {
      PyObject* item = problem_tuple(sink.problems[i]);
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(problems.get(), static_cast<Py_ssize_t>(i), item);
    }
    return Py_BuildValue("(y#OnnO)", sink.out.data(), static_cast<Py_ssize_t>(sink.out.size()),
                         problems.get(), static_cast<Py_ssize_t>(sink.ok),
                         static_cast<Py_ssize_t>(sink.failed), hint.get());
  });
}

constexpr const char* kListRecordsNames[] = {"entries", "name", "verdict", "start", "stop"};
constexpr Parameters kListRecordsParams{"list_records", kListRecordsNames, 5, 5, 3};

PyObject* list_records(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[5];
    if (!bind(kListRecordsParams, args, nargs, kwnames, bound)) return nullptr;
    Document entries, name;
    std::string_view verdict;
    std::size_t start = 0, stop = 0;
    if (!entries.take("entries", bound[0]) || !name.take("name", bound[1]) ||
        !str_argument("verdict", bound[2], verdict))
      return nullptr;
    const ListedRecords listed(entries.text());
    if (!size_argument("start", bound[3], 0, start) ||
        !size_argument("stop", bound[4], listed.size(), stop))
      return nullptr;
    stop = std::min(stop, listed.size());
    const std::string prefix = line_prefix(name.text());
    std::string out;
    for (std::size_t i = start; i < stop; ++i) append_verdict(out, prefix, listed.line(i), verdict);
    return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
  });
}

constexpr const char* kFirstListedNames[] = {"entries", "line"};
constexpr Parameters kFirstListedParams{"first_listed", kFirstListedNames, 2, 2, 2};

PyObject* first_listed(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind(kFirstListedParams, args, nargs, kwnames, bound)) return nullptr;
    Document entries;
    std::size_t line = 0;
    if (!entries.take("entries", bound[0]) || !size_argument("line", bound[1], 0, line))
      return nullptr;
    return PyLong_FromSize_t(ListedRecords(entries.text()).first_from(line));
  });
}

}  // namespace

PyMethodDef kCheckMethods[] = {
    {"check_records", as_cfunction(&check_records), METH_FASTCALL | METH_KEYWORDS,
     "check_records(data, profile, entries, *, name, first_line=1, show=2, others=(),\n"
     "              floats='refuse')\n--\n\n"
     "Checks the records of a run of whole lines against the entries listed\n"
     "for them (all within the run). Returns (out, problems, matched,\n"
     "mismatched, hint): out the verdict lines '<name>:<line>: OK|FAILED'\n"
     "(show 2: all, 1: failures, 0: none); problems one tuple (line,\n"
     "message, line, column, offset) per refused record, message None for\n"
     "a blank line; hint the first of others under which the first\n"
     "mismatched record has its listed digest, or None."},
    {"list_records", as_cfunction(&list_records), METH_FASTCALL | METH_KEYWORDS,
     "list_records(entries, name, verdict, start=0, stop=None)\n--\n\n"
     "The lines '<name>:<line>: <verdict>' for entries [start, stop)."},
    {"first_listed", as_cfunction(&first_listed), METH_FASTCALL | METH_KEYWORDS,
     "first_listed(entries, line)\n--\n\n"
     "The index of the first entry whose line is at least line."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quorl::native
