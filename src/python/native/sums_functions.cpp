// The sums formats for `quorl digest --tag` and `quorl check`, read and
// written in chunks: parse_sums turns a chunk of digest lines into groups
// (one per whole document, one per run of records of the same file in
// increasing line order), each holding its records packed in one bytes
// object, for check_records (check_functions.cpp); tag_digest_lines writes
// digest_lines' output in the tagged layout. No Python object is made per
// line, only per group.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/batch/record_batch.h"
#include "core/batch/sums_check.h"
#include "core/batch/sums_line.h"
#include "native/py_support.h"

namespace quorl::native {

namespace {

// What a group of sums lines lists.
enum GroupKind : long { kDocument = 0, kRecords = 1, kPlainRecords = 2 };

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

PyMethodDef kSumsMethods[] = {
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
    {"tag_digest_lines", as_cfunction(&tag_digest_lines), METH_FASTCALL | METH_KEYWORDS,
     "tag_digest_lines(lines, tag, name_size, escaped)\n--\n\n"
     "digest_lines' output for a name of name_size bytes (escaped, without\n"
     "the escape mark) in the tagged layout, 'QUORL-<tag> (<name>):<line> =\n"
     "<hex>' per line, each starting with a backslash when escaped."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quorl::native
