#include "core/batch/sums_check.h"

#include <string>

#include "core/batch/bytes16.h"
#include "core/batch/record_batch.h"
#include "core/digest.h"

namespace quorl {

std::size_t ListedRecords::first_from(std::size_t line) const noexcept {
  std::size_t low = 0, high = size();
  while (low < high) {
    const std::size_t mid = low + (high - low) / 2;
    if (this->line(mid) < line)
      low = mid + 1;
    else
      high = mid;
  }
  return low;
}

void append_listed_record(std::size_t line, std::string_view hex, std::string& out) {
  const auto value = static_cast<std::uint64_t>(line);
  const std::size_t at = out.size();
  out.resize(at + kListedRecordBytes);
  char* entry = out.data() + at;
  std::memcpy(entry, &value, sizeof value);
  for (std::size_t i = 0; i < 64; i += 16) {
    const Bytes16 c = load16(hex.data() + i);
    const Bytes16 upper = reinterpret_cast<Bytes16>(static_cast<Bytes16>(c - 'A') < 6);
    store16(entry + 8 + i, c | (upper & 0x20));
  }
}

namespace {

// Takes the digest walk's records and settles the listed entries with them:
// an entry passed over (its line was blank, so the walk gave nothing) has
// no record.
class Comparer final : public RecordSink {
 public:
  Comparer(ListedRecords listed, CheckSink& sink) : listed_(listed), sink_(sink) {}

  void digested(std::size_t line, std::string_view hex) override {
    if (!reach(line)) return;
    if (listed_.matches(next_, hex))
      sink_.matched(line);
    else
      sink_.mismatched(line);
    ++next_;
  }
  void canonical(std::size_t, const CanonicalText&) override {}
  void refused(std::size_t line, QuorlError error) override {
    if (!reach(line)) return;
    sink_.refused(line, std::move(error));
    ++next_;
  }
  // Settles the entries before `line` as blank.
  void settle_before(std::size_t line) {
    while (next_ < listed_.size() && listed_.line(next_) < line) {
      sink_.no_record(listed_.line(next_++));
    }
  }

 private:
  // Whether the entry due is this line's, once those before it are settled.
  bool reach(std::size_t line) {
    settle_before(line);
    return next_ < listed_.size() && listed_.line(next_) == line;
  }

  ListedRecords listed_;
  CheckSink& sink_;
  std::size_t next_ = 0;
};

}  // namespace

Result<Unit> check_record_lines(std::string_view data, std::size_t first_line,
                                std::string_view profile, ListedRecords listed, CheckSink& sink,
                                DirectText& scratch, bool data_is_utf8, FloatPolicy floats) {
  if (!parse_profile(profile)) return fail(unknown_profile_error(profile));
  Comparer comparer(listed, sink);
  // Spans of lines that are listed (blank lines between them included) go
  // to the digest walk whole; lines not listed are passed over unread.
  std::size_t entry = 0;
  std::size_t line = first_line;
  std::size_t at = 0;
  std::size_t span_at = 0, span_line = 0;
  bool in_span = false;
  auto close_span = [&](std::size_t end) -> Result<Unit> {
    Result<std::size_t> walked =
        digest_record_lines(data.substr(span_at, end - span_at), span_line, profile, comparer,
                            scratch, data_is_utf8, floats);
    if (!walked.ok()) return fail(std::move(walked).error());
    in_span = false;
    return Unit{};
  };
  while (at < data.size() && entry < listed.size()) {
    const void* newline = std::memchr(data.data() + at, '\n', data.size() - at);
    const std::size_t end =
        newline != nullptr
            ? static_cast<std::size_t>(static_cast<const char*>(newline) - data.data())
            : data.size();
    const bool wanted = listed.line(entry) == line;
    if (wanted) {
      ++entry;
      if (!in_span) {
        in_span = true;
        span_at = at;
        span_line = line;
      }
    } else if (in_span && !is_blank_line(data.substr(at, end - at))) {
      Result<Unit> closed = close_span(at);
      if (!closed.ok()) return closed;
    }
    ++line;
    at = end + 1;
  }
  if (in_span) {
    Result<Unit> closed = close_span(std::min(at, data.size()));
    if (!closed.ok()) return closed;
  }
  comparer.settle_before(static_cast<std::size_t>(-1));
  return Unit{};
}

std::optional<std::string_view> line_of(std::string_view data, std::size_t first_line,
                                        std::size_t line) noexcept {
  if (line < first_line) return std::nullopt;
  std::size_t at = 0;
  for (std::size_t n = first_line; n < line; ++n) {
    const std::size_t newline = data.find('\n', at);
    if (newline == std::string_view::npos) return std::nullopt;
    at = newline + 1;
  }
  if (at >= data.size()) return std::nullopt;
  const std::size_t newline = data.find('\n', at);
  return data.substr(at, newline == std::string_view::npos ? std::string_view::npos : newline - at);
}

}  // namespace quorl
