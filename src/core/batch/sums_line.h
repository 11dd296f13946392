// One line of a sums file, in either layout `quorl digest` writes:
//
//   plain   <64 hex>  <name>                    a whole document
//           <64 hex>  <name>:<line>             a record of JSON Lines
//   tagged  QUORL-<PROFILE> (<name>) = <64 hex>
//           QUORL-<PROFILE> (<name>):<line> = <64 hex>
//
// <PROFILE> is the profile in upper case. A name holding "\\", "\n" or "\r"
// is written escaped ("\\\\", "\\n", "\\r") on a line that starts with "\\",
// as sha256sum writes it. A plain name ending in ":<digits>" may be a record
// or a file of that name; the caller decides, a tagged line says which.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quorl {

inline constexpr std::string_view kSumsTagPrefix = "QUORL-";

struct SumsLine {
  // 64 hex digits, either case (checked).
  std::string_view hex;
  // Tagged lines: the profile as written after the prefix (upper case).
  bool tagged = false;
  std::string_view profile_tag;
  // The name as written: escaped when `escaped`. For a record (or a plain
  // name ending in ":<digits>"), the part before the colon.
  std::string_view name;
  bool escaped = false;
  // The record's line (from 1); 0 for a whole document.
  std::size_t record_line = 0;
};

// Reads one line without its "\n" (a trailing "\r" is dropped). false when
// it is not a digest line in either layout.
bool parse_sums_line(std::string_view line, SumsLine& out) noexcept;

// The name an escaped name stands for, appended to out; false for an escape
// other than "\\\\", "\\n" and "\\r", or a lone backslash at the end.
bool unescape_sums_name(std::string_view escaped, std::string& out);

// Whether a name must be escaped in a digest line, and its escaped form.
bool sums_name_needs_escape(std::string_view name) noexcept;
void append_escaped_sums_name(std::string_view name, std::string& out);

}  // namespace quorl
