#include "core/batch/sums_line.h"

#include "core/batch/bytes16.h"

namespace quorl {

namespace {

constexpr std::size_t kHexDigits = 64;

// Whether text is 64 hex digits, either case, 16 bytes at a time (vector
// types that compile to SSE2 or Advanced SIMD, both always present).
bool is_digest(std::string_view text) noexcept {
  if (text.size() != kHexDigits) return false;
  Bytes16 bad{};
  for (std::size_t at = 0; at < kHexDigits; at += 16) {
    const Bytes16 c = load16(text.data() + at);
    const Bytes16 digit = c - '0';
    const Bytes16 letter = (c | 0x20) - 'a';
    bad |= reinterpret_cast<Bytes16>(digit > 9) & reinterpret_cast<Bytes16>(letter > 5);
  }
  return none_set(bad);
}

// "<name>:<digits>" split into the name and the line (from 1, small enough
// for a size_t); false when the text does not end so.
bool split_record(std::string_view text, std::string_view& name, std::size_t& line) noexcept {
  constexpr std::size_t kMaxDigits = 19;
  std::size_t colon = text.size(), value = 0, scale = 1;
  while (colon > 0 && text[colon - 1] >= '0' && text[colon - 1] <= '9') {
    if (text.size() - colon == kMaxDigits) return false;
    value += static_cast<std::size_t>(text[--colon] - '0') * scale;
    scale *= 10;
  }
  if (colon < 2 || colon == text.size() || text[colon - 1] != ':' || value == 0) return false;
  name = text.substr(0, colon - 1);
  line = value;
  return true;
}

bool parse_plain(std::string_view line, SumsLine& out) noexcept {
  // "<64 hex> <space or *><name>", the name not empty.
  if (line.size() < kHexDigits + 3) return false;
  if (line[kHexDigits] != ' ' || (line[kHexDigits + 1] != ' ' && line[kHexDigits + 1] != '*'))
    return false;
  out.hex = line.substr(0, kHexDigits);
  if (!is_digest(out.hex)) return false;
  const std::string_view name = line.substr(kHexDigits + 2);
  out.name = name;
  out.record_line = 0;
  std::string_view record_name;
  std::size_t record_line = 0;
  if (split_record(name, record_name, record_line)) {
    out.name = record_name;
    out.record_line = record_line;
  }
  return true;
}

bool parse_tagged(std::string_view line, SumsLine& out) noexcept {
  // "QUORL-<PROFILE> (<name>)[:<line>] = <64 hex>", read from both ends.
  constexpr std::string_view kEquals = " = ";
  if (line.size() < kSumsTagPrefix.size() + kEquals.size() + kHexDigits + 4) return false;
  const std::size_t hex_at = line.size() - kHexDigits;
  if (line.substr(hex_at - kEquals.size(), kEquals.size()) != kEquals) return false;
  out.hex = line.substr(hex_at);
  if (!is_digest(out.hex)) return false;
  std::string_view rest =
      line.substr(kSumsTagPrefix.size(), hex_at - kEquals.size() - kSumsTagPrefix.size());
  const std::size_t open = rest.find(" (");
  if (open == std::string_view::npos || open == 0) return false;
  out.tagged = true;
  out.profile_tag = rest.substr(0, open);
  rest.remove_prefix(open + 2);
  out.record_line = 0;
  if (!rest.empty() && rest.back() == ')') {
    out.name = rest.substr(0, rest.size() - 1);
  } else {
    // "<name>):<line>": split at the colon, then the name's closing bracket.
    std::string_view bracketed;
    if (!split_record(rest, bracketed, out.record_line) || bracketed.back() != ')') return false;
    out.name = bracketed.substr(0, bracketed.size() - 1);
  }
  return !out.name.empty();
}

}  // namespace

bool parse_sums_line(std::string_view line, SumsLine& out) noexcept {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  out = SumsLine{};
  if (!line.empty() && line.front() == '\\') {
    out.escaped = true;
    line.remove_prefix(1);
  }
  if (line.starts_with(kSumsTagPrefix)) return parse_tagged(line, out);
  return parse_plain(line, out);
}

bool unescape_sums_name(std::string_view escaped, std::string& out) {
  for (std::size_t i = 0; i < escaped.size(); ++i) {
    const char c = escaped[i];
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    if (++i == escaped.size()) return false;
    switch (escaped[i]) {
      case '\\':
        out.push_back('\\');
        break;
      case 'n':
        out.push_back('\n');
        break;
      case 'r':
        out.push_back('\r');
        break;
      default:
        return false;
    }
  }
  return true;
}

bool sums_name_needs_escape(std::string_view name) noexcept {
  return name.find_first_of("\\\n\r") != std::string_view::npos;
}

void append_escaped_sums_name(std::string_view name, std::string& out) {
  for (char c : name) {
    switch (c) {
      case '\\':
        out.append("\\\\");
        break;
      case '\n':
        out.append("\\n");
        break;
      case '\r':
        out.append("\\r");
        break;
      default:
        out.push_back(c);
    }
  }
}

}  // namespace quorl
