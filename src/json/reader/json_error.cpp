#include "json/reader/json_error.h"

#include <algorithm>
#include <string>

namespace quorl::json {

std::string JsonError::render() const {
  std::string line_text = std::to_string(line);
  std::string column_text = std::to_string(column);
  constexpr std::string_view kAtLine = " at line ";
  constexpr std::string_view kColumn = " column ";
  std::string out;
  out.reserve(message.text.size() + kAtLine.size() + line_text.size() + kColumn.size() +
              column_text.size());
  out.append(message.text);
  out.append(kAtLine);
  out.append(line_text);
  out.append(kColumn);
  out.append(column_text);
  return out;
}

JsonError JsonError::at(Message message, std::string_view text, std::size_t p) {
  // The reader never reports past the end; clamp anyway so a bad p cannot
  // make this read out of bounds.
  const std::string_view consumed = text.substr(0, std::min(p, text.size()));
  JsonError e;
  e.message = message;
  e.position = consumed.size();
  // Only the error path pays for this: find the last line feed, then count
  // the ones before it.
  const std::size_t last_lf = consumed.rfind('\n');
  if (last_lf == std::string_view::npos) {
    e.line = 1;
    e.column = consumed.size();
  } else {
    const auto earlier = std::count(consumed.begin(), consumed.begin() + last_lf, '\n');
    e.line = 2 + static_cast<std::size_t>(earlier);
    e.column = consumed.size() - (last_lf + 1);
  }
  return e;
}

TextPosition position_of(std::string_view text, std::size_t offset) {
  const std::string_view before = text.substr(0, std::min(offset, text.size()));
  const std::size_t last_lf = before.rfind('\n');
  const std::size_t line_start = last_lf == std::string_view::npos ? 0 : last_lf + 1;
  TextPosition at;
  at.line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
  at.column = before.size() - line_start + 1;
  return at;
}

}  // namespace quorl::json
