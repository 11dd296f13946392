#include "core/record_batch.h"

#include <cstring>

#include "core/digest.h"
#include "core/direct_path.h"
#include "json/utf8_validate.h"

namespace quorl {

bool is_blank_line(std::string_view line) noexcept {
  for (char c : line) {
    if (c != ' ' && c != '\t' && c != '\r') return false;
  }
  return true;
}

namespace {

// Calls work(line, record) for each record of data; returns their count.
template <class Work>
std::size_t for_each_record(std::string_view data, std::size_t first_line, Work&& work) {
  std::size_t records = 0;
  std::size_t line = first_line;
  std::size_t at = 0;
  while (at < data.size()) {
    const void* newline = std::memchr(data.data() + at, '\n', data.size() - at);
    const std::size_t end =
        newline != nullptr ? static_cast<std::size_t>(static_cast<const char*>(newline) - data.data())
                           : data.size();
    const std::string_view record = data.substr(at, end - at);
    if (!is_blank_line(record)) {
      ++records;
      work(line, record);
    }
    ++line;
    at = end + 1;
  }
  return records;
}

// The UTF-8 check shared by both walks: true when the record may go on.
bool utf8_ok(std::size_t line, std::string_view record, bool known_utf8, RecordSink& sink) {
  if (known_utf8) return true;
  Result<Unit> checked = check_utf8(record);
  if (checked.ok()) [[likely]]
    return true;
  sink.refused(line, std::move(checked).error());
  return false;
}

}  // namespace

Result<std::size_t> digest_record_lines(std::string_view data, std::size_t first_line,
                                        std::string_view profile, RecordSink& sink,
                                        DirectText& scratch, bool data_is_utf8) {
  if (!is_known_profile(profile)) {
    return fail(QuorlError{std::string(kUnknownProfilePrefix) + std::string(profile)});
  }
  return for_each_record(data, first_line, [&](std::size_t line, std::string_view record) {
    if (!utf8_ok(line, record, data_is_utf8, sink)) return;
    Result<std::string> digest = py_digest_from_json(record, profile, scratch);
    if (digest.ok()) {
      sink.digested(line, digest.value());
    } else {
      sink.refused(line, std::move(digest).error());
    }
  });
}

std::size_t canonical_record_lines(std::string_view data, std::size_t first_line,
                                   RecordSink& sink, DirectText& scratch,
                                   bool data_is_utf8) {
  return for_each_record(data, first_line, [&](std::size_t line, std::string_view record) {
    if (!utf8_ok(line, record, data_is_utf8, sink)) return;
    Result<CanonicalText> text = canonical_text_from_json(record, scratch);
    if (text.ok()) {
      sink.canonical(line, text.value());
    } else {
      sink.refused(line, std::move(text).error());
    }
  });
}

Result<std::size_t> digest_record_lines(std::string_view data, std::size_t first_line,
                                        std::string_view profile, RecordSink& sink) {
  DirectText scratch;
  return digest_record_lines(data, first_line, profile, sink, scratch);
}

std::size_t canonical_record_lines(std::string_view data, std::size_t first_line,
                                   RecordSink& sink) {
  DirectText scratch;
  return canonical_record_lines(data, first_line, sink, scratch);
}

}  // namespace quorl
