// Checking the records of a JSON Lines file against the digests a sums file
// lists for them: a buffer of whole lines is walked once, and only the lines
// listed are digested (runs of listed lines at a time, with the digest
// walk's own pairing), each compared with what was listed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"
#include "core/direct/direct_path.h"
#include "core/rules/float_text.h"

namespace quorl {

// The records a sums file lists for one file, packed: per record its line
// (a uint64_t in the machine's order) then its digest in 64 lowercase hex
// digits, lines strictly increasing. A byte string of these crosses to the
// caller and back without an object per record; the digests stay text, as
// both the sums file and the digest walk have them.
inline constexpr std::size_t kListedRecordBytes = 72;

class ListedRecords {
 public:
  ListedRecords() = default;
  // bytes: a whole number of entries.
  explicit ListedRecords(std::string_view bytes) noexcept : bytes_(bytes) {}

  std::size_t size() const noexcept { return bytes_.size() / kListedRecordBytes; }
  std::size_t line(std::size_t i) const noexcept {
    std::uint64_t value;
    std::memcpy(&value, bytes_.data() + i * kListedRecordBytes, sizeof value);
    return static_cast<std::size_t>(value);
  }
  std::string_view hex(std::size_t i) const noexcept {
    return bytes_.substr(i * kListedRecordBytes + 8, 64);
  }
  // Whether entry i's digest is this one (64 lowercase hex digits).
  bool matches(std::size_t i, std::string_view hex) const noexcept { return this->hex(i) == hex; }
  // Entries [begin, end).
  ListedRecords slice(std::size_t begin, std::size_t end) const noexcept {
    return ListedRecords(
        bytes_.substr(begin * kListedRecordBytes, (end - begin) * kListedRecordBytes));
  }
  // The index of the first entry whose line is at least `line`.
  std::size_t first_from(std::size_t line) const noexcept;

 private:
  std::string_view bytes_;
};

// Appends an entry; hex: 64 hex digits, either case.
void append_listed_record(std::size_t line, std::string_view hex, std::string& out);

// What a check hands over, entry by entry, in line order.
class CheckSink {
 public:
  virtual void matched(std::size_t line) = 0;
  virtual void mismatched(std::size_t line) = 0;
  // The record has no canonical form (invalid UTF-8 included).
  virtual void refused(std::size_t line, QuorlError error) = 0;
  // The line is blank: no record to check.
  virtual void no_record(std::size_t line) = 0;

 protected:
  ~CheckSink() = default;
};

// data: whole lines, the last possibly without its "\n", the first numbered
// first_line; listed: entries whose lines lie within data. Every entry is
// handed to the sink once, in order. An unknown profile fails before any.
// floats: as the digest walk takes them (refused, or as strings).
Result<Unit> check_record_lines(std::string_view data, std::size_t first_line,
                                std::string_view profile, ListedRecords listed, CheckSink& sink,
                                DirectText& scratch, bool data_is_utf8 = false,
                                FloatPolicy floats = FloatPolicy::Refuse);

// Line `line` of data (first numbered first_line) without its "\n", or
// nothing when data holds no such line.
std::optional<std::string_view> line_of(std::string_view data, std::size_t first_line,
                                        std::size_t line) noexcept;

}  // namespace quorl
