// Sums files for `quorl check`, read in chunks: parse_sums turns a chunk of
// digest lines into groups (one per whole document, one per run of records
// of the same file in increasing line order), each holding its records
// packed in one bytes object; check_records checks a run of lines of a
// JSON Lines file against such a group's entries and writes the verdict
// lines. No Python object is made per record, only per group and per
// failure, so memory follows the chunk, not the number of lines.
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

// What a group of sums lines lists.
enum GroupKind : long { kDocument = 0, kRecords = 1, kPlainRecords = 2 };

bool size_argument(const char* param, PyObject* value, std::size_t fallback, std::size_t& out) {
  out = fallback;
  if (value == nullptr || value == Py_None) return true;
  if (!PyLong_Check(value) || PyBool_Check(value)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be int, not '%.200s'", param,
                 Py_TYPE(value)->tp_name);
    return false;
  }
  const std::size_t number = PyLong_AsSize_t(value);
  if (number == static_cast<std::size_t>(-1) && PyErr_Occurred()) return false;
  out = number;
  return true;
}

// The profiles a tag may name: the upper-case form of each str of a tuple.
bool profile_tags(PyObject* value, std::vector<std::pair<std::string, std::string_view>>& out) {
  if (!PyTuple_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "argument 'profiles' must be a tuple of str");
    return false;
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(value); ++i) {
    std::string_view profile;
    if (!str_argument("profiles", PyTuple_GET_ITEM(value, i), profile)) return false;
    std::string tag(profile);
    for (char& c : tag) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    out.emplace_back(std::move(tag), profile);
  }
  return true;
}

// One group as parse_sums builds it.
struct Group {
  GroupKind kind = kDocument;
  std::string name;
  std::string_view profile;  // empty: a plain line
  std::string entries;
  std::size_t last_line = 0;
  std::size_t sums_bytes = 0;
  std::size_t sums_line = 0;  // the line of the sums file it starts on
};

PyObject* group_tuple(const Group& g) {
  OwnedRef profile(g.profile.empty()
                       ? Py_NewRef(Py_None)
                       : PyUnicode_FromStringAndSize(g.profile.data(),
                                                     static_cast<Py_ssize_t>(g.profile.size())));
  if (!profile) return nullptr;
  return Py_BuildValue("(ly#Oy#nn)", static_cast<long>(g.kind), g.name.data(),
                       static_cast<Py_ssize_t>(g.name.size()), profile.get(), g.entries.data(),
                       static_cast<Py_ssize_t>(g.entries.size()),
                       static_cast<Py_ssize_t>(g.sums_bytes), static_cast<Py_ssize_t>(g.sums_line));
}

constexpr const char* kParseSumsNames[] = {"data", "profiles", "first_line"};
constexpr Parameters kParseSumsParams{"parse_sums", kParseSumsNames, 3, 2, 2};

PyObject* parse_sums(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[3];
    if (!bind(kParseSumsParams, args, nargs, kwnames, bound)) return nullptr;
    Document data;
    std::vector<std::pair<std::string, std::string_view>> tags;
    std::size_t first_line = 1;
    if (!data.take("data", bound[0]) || !profile_tags(bound[1], tags) ||
        !size_argument("first_line", bound[2], 1, first_line))
      return nullptr;
    OwnedRef groups(PyList_New(0));
    if (!groups) return nullptr;
    std::string malformed;
    Group group;
    bool open = false;
    auto flush = [&]() -> bool {
      if (!open) return true;
      open = false;
      OwnedRef item(group_tuple(group));
      return item && PyList_Append(groups.get(), item.get()) == 0;
    };
    const std::string_view text = data.text();
    std::string unescaped;
    std::size_t at = 0;
    for (std::size_t number = first_line; at < text.size(); ++number) {
      std::size_t end = text.find('\n', at);
      if (end == std::string_view::npos) end = text.size();
      const std::string_view raw = text.substr(at, end - at);
      const std::size_t line_bytes = std::min(end + 1, text.size()) - at;
      at = end + 1;
      if (is_blank_line(raw)) {
        if (open) group.sums_bytes += line_bytes;
        continue;
      }
      SumsLine line;
      std::string_view profile;
      bool ok = parse_sums_line(raw, line);
      if (ok && line.tagged) {
        ok = false;
        for (const auto& [tag, known] : tags) {
          if (line.profile_tag == tag) {
            profile = known;
            ok = true;
          }
        }
      }
      // The name as it stands for: most lines name the file of the line
      // before, unescaped, and are compared as written.
      std::string_view name = line.name;
      if (ok && line.escaped) {
        unescaped.clear();
        ok = unescape_sums_name(line.name, unescaped);
        name = unescaped;
      }
      if (!ok) {
        const auto value = static_cast<std::uint64_t>(number);
        malformed.append(reinterpret_cast<const char*>(&value), sizeof value);
        if (open) group.sums_bytes += line_bytes;
        continue;
      }
      const GroupKind kind = line.record_line == 0 ? kDocument
                             : line.tagged         ? kRecords
                                                   : kPlainRecords;
      const bool joins = open && kind != kDocument && group.kind == kind &&
                         group.profile == profile && group.name == name &&
                         line.record_line > group.last_line;
      if (!joins) {
        if (!flush()) return nullptr;
        group = Group{kind, std::string(name), profile, {}, 0, 0, number};
        open = true;
      }
      append_listed_record(line.record_line, line.hex, group.entries);
      group.last_line = line.record_line;
      group.sums_bytes += line_bytes;
    }
    if (!flush()) return nullptr;
    return Py_BuildValue("(Oy#)", groups.get(), malformed.data(),
                         static_cast<Py_ssize_t>(malformed.size()));
  });
}

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

// digest_lines' output, "<hex>  <name>:<line>" per record, in the tagged
// layout: "QUORL-<TAG> (<name>):<line> = <hex>", with the escape mark when
// the name (already escaped) needed it.
constexpr const char* kTagLinesNames[] = {"lines", "tag", "name_size", "escaped"};
constexpr Parameters kTagLinesParams{"tag_digest_lines", kTagLinesNames, 4, 4, 4};

PyObject* tag_digest_lines(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[4];
    if (!bind(kTagLinesParams, args, nargs, kwnames, bound)) return nullptr;
    Document lines;
    std::string_view tag;
    std::size_t name_size = 0;
    if (!lines.take("lines", bound[0]) || !str_argument("tag", bound[1], tag) ||
        !size_argument("name_size", bound[2], 0, name_size))
      return nullptr;
    const bool escaped = PyObject_IsTrue(bound[3]) == 1;
    const std::string_view text = lines.text();
    constexpr std::size_t kHex = 64;
    std::string out;
    out.reserve(text.size() + (text.size() / (kHex + name_size + 4) + 1) *
                                  (kSumsTagPrefix.size() + tag.size() + 8));
    std::size_t at = 0;
    while (at < text.size()) {
      std::size_t end = text.find('\n', at);
      if (end == std::string_view::npos) end = text.size();
      const std::string_view line = text.substr(at, end - at);
      if (line.size() < kHex + 2 + name_size + 2) {
        PyErr_SetString(PyExc_ValueError, "not a line of digest_lines for a name of that size");
        return nullptr;
      }
      if (escaped) out.push_back('\\');
      out.append(kSumsTagPrefix);
      out.append(tag);
      out.append(" (");
      out.append(line.substr(kHex + 2, name_size));
      out.push_back(')');
      out.append(line.substr(kHex + 2 + name_size));  // ":<line>"
      out.append(" = ");
      out.append(line.substr(0, kHex));
      out.push_back('\n');
      at = end + 1;
    }
    return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
  });
}

}  // namespace

PyMethodDef kCheckMethods[] = {
    {"parse_sums", as_cfunction(&parse_sums), METH_FASTCALL | METH_KEYWORDS,
     "parse_sums(data, profiles, *, first_line=1)\n--\n\n"
     "Reads a chunk of whole lines of a sums file, the first numbered\n"
     "first_line. Returns (groups, malformed): groups in order, each\n"
     "(kind, name, profile, entries, sums_bytes, sums_line) with kind 0 for a whole\n"
     "document, 1 for tagged records, 2 for a plain name ending ':<line>'\n"
     "(a record, or a file so named); name the unescaped bytes (before the\n"
     "colon for records); profile the tag's (one of profiles) or None;\n"
     "entries packed (line, digest) pairs, lines increasing; sums_bytes the\n"
     "bytes of the chunk the group covers, sums_line the line it starts on.\n"
     "malformed: the line numbers of\n"
     "lines in neither layout, packed as uint64."},
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
    {"tag_digest_lines", as_cfunction(&tag_digest_lines), METH_FASTCALL | METH_KEYWORDS,
     "tag_digest_lines(lines, tag, name_size, escaped)\n--\n\n"
     "digest_lines' output for a name of name_size bytes (escaped, without\n"
     "the escape mark) in the tagged layout, 'QUORL-<tag> (<name>):<line> =\n"
     "<hex>' per line, each starting with a backslash when escaped."},
    {"first_listed", as_cfunction(&first_listed), METH_FASTCALL | METH_KEYWORDS,
     "first_listed(entries, line)\n--\n\n"
     "The index of the first entry whose line is at least line."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quorl::native
