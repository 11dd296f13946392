// Records in batches: a buffer of whole lines of JSON Lines (each line that
// is not blank), or the records a source hands over (the values of a
// column), is walked once, and every record is validated as UTF-8 and then
// digested or turned into canonical text, with the results handed to a sink
// in order. One walk serves every output shape: formatted text, lists of
// results, columns, whatever a caller's sink builds.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/result.h"
#include "core/canonical_text.h"
#include "core/direct/direct_path.h"
#include "core/exact/input_gate.h"
#include "core/rules/float_text.h"

namespace quorl {

// What a walk hands over, record by record, in order. `line` is the
// record's line number in the caller's numbering.
class RecordSink {
 public:
  // A digest walk's record: 64 lowercase hex characters.
  virtual void digested(std::size_t line, std::string_view hex) = 0;
  // A canonical walk's record: its text, valid only during the call.
  virtual void canonical(std::size_t line, const CanonicalText& text) = 0;
  // A refused record, located within the record's own text.
  virtual void refused(std::size_t line, QuorlError error) = 0;

 protected:
  ~RecordSink() = default;
};

// Records that are not the lines of one buffer: each call hands over the
// next record and the caller's number for it (numbers ascending), or
// returns false after the last.
class RecordSource {
 public:
  virtual bool next(std::size_t& id, std::string_view& record) = 0;

 protected:
  ~RecordSource() = default;
};

// The whole lines at the start of a buffer: `end` is just past its last
// "\n" (0 when it has none) and `newlines` the number of "\n" before that.
// What a reader that hands out runs of whole lines needs to know of each
// block it reads.
struct WholeLines {
  std::size_t end = 0;
  std::size_t newlines = 0;
};
WholeLines whole_lines(std::string_view data) noexcept;

// Whether a line (without its "\n") holds only spaces, tabs and CRs: such a
// line is not a record.
bool is_blank_line(std::string_view line) noexcept;

// data: complete lines, the last one possibly without its "\n"; its first
// line is numbered first_line. A record is its line without the "\n" (a
// trailing "\r" stays: it is JSON whitespace). Both return the number of
// records. `data_is_utf8` skips validation for text already known to be
// UTF-8 (a str's); `floats` refuses floats or takes them as strings (see
// canonical_text_from_json).
//
// Digests under `profile`; an unknown profile is refused before any record
// is read, and the sink then sees nothing. scratch: the direct path's
// buffers, reused for every record (and kept by a caller between walks).
Result<std::size_t> digest_record_lines(std::string_view data, std::size_t first_line,
                                        std::string_view profile, RecordSink& sink,
                                        DirectText& scratch, bool data_is_utf8 = false,
                                        FloatPolicy floats = FloatPolicy::Refuse);
std::size_t canonical_record_lines(std::string_view data, std::size_t first_line, RecordSink& sink,
                                   DirectText& scratch, bool data_is_utf8 = false,
                                   FloatPolicy floats = FloatPolicy::Refuse);
// The same over a source's records, each record's number given to the sink
// as its line.
Result<std::size_t> digest_records(RecordSource& records, std::string_view profile,
                                   RecordSink& sink, DirectText& scratch,
                                   bool records_are_utf8 = false,
                                   FloatPolicy floats = FloatPolicy::Refuse);
std::size_t canonical_records(RecordSource& records, RecordSink& sink, DirectText& scratch,
                              bool records_are_utf8 = false,
                              FloatPolicy floats = FloatPolicy::Refuse);
// The line walks with buffers of their own.
Result<std::size_t> digest_record_lines(std::string_view data, std::size_t first_line,
                                        std::string_view profile, RecordSink& sink);
std::size_t canonical_record_lines(std::string_view data, std::size_t first_line, RecordSink& sink);

}  // namespace quorl
