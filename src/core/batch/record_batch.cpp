#include "core/batch/record_batch.h"

#include <cstdint>
#include <cstring>
#include <optional>

#include "core/digest.h"
#include "core/direct/direct_path.h"
#include "core/hash/sha256.h"
#include "json/lex/byte_scan.h"
#include "json/lex/utf8_validate.h"

namespace quorl {

bool is_blank_line(std::string_view line) noexcept {
  for (char c : line) {
    if (c != ' ' && c != '\t' && c != '\r') return false;
  }
  return true;
}

WholeLines whole_lines(std::string_view data) noexcept {
  // The last line is short next to a block, so a backward byte loop is enough.
  const std::size_t last = data.rfind('\n');
  if (last == std::string_view::npos) return {};
  return {last + 1, count_newlines(reinterpret_cast<const unsigned char*>(data.data()), last + 1)};
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
        newline != nullptr
            ? static_cast<std::size_t>(static_cast<const char*>(newline) - data.data())
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

// The canonical walk's UTF-8 check: true when the record may go on.
bool utf8_ok(std::size_t line, std::string_view record, bool known_utf8, RecordSink& sink) {
  if (known_utf8) return true;
  Result<Unit> checked = check_utf8(record);
  if (checked.ok()) [[likely]]
    return true;
  sink.refused(line, std::move(checked).error());
  return false;
}

// Records longer than this are hashed alone, straight from the direct
// path: pairing saves the hash's latency, which matters for small records,
// and building a large one's message would copy it and hold the copy.
constexpr std::size_t kPairedRecordMaxBytes = 16 * 1024;

// The digest walk's records, hashed two at a time: a record's message waits
// in one buffer until the next record's is built in the other, then both are
// hashed together. Whatever the sink must see before the next record (a
// refusal, a large record, the end) first hands over the waiting one, hashed
// alone, so that the sink sees every record in line order.
class PairedDigests {
 public:
  PairedDigests(Profile profile, RecordSink& sink, DirectText& scratch, FloatPolicy floats)
      : profile_(profile), sink_(sink), scratch_(scratch), floats_(floats) {}
  PairedDigests(const PairedDigests&) = delete;
  PairedDigests& operator=(const PairedDigests&) = delete;

  void add(std::size_t line, std::string_view record) {
    if (record.size() > kPairedRecordMaxBytes) {
      flush();
      Result<std::string> hex =
          pipelined_digest_from_json(record, profile_, scratch_, kHashThreadFromBytes, floats_);
      if (hex.ok()) {
        sink_.digested(line, hex.value());
      } else {
        sink_.refused(line, std::move(hex).error());
      }
      return;
    }
    std::string& message = messages_[waiting_ ? 1 : 0];
    message.clear();
    Result<Unit> built = append_digest_message(record, profile_, scratch_, message, floats_);
    if (!built.ok()) {
      refuse(line, std::move(built).error());
      return;
    }
    if (!waiting_) {
      waiting_ = true;
      waiting_line_ = line;
      return;
    }
    Sha256::Digest first, second;
    sha256_pair(messages_[0], messages_[1], first, second);
    waiting_ = false;
    emit(waiting_line_, first);
    emit(line, second);
  }

  void refuse(std::size_t line, QuorlError error) {
    flush();
    sink_.refused(line, std::move(error));
  }

  // Hands over the waiting record, if any.
  void flush() {
    if (!waiting_) return;
    waiting_ = false;
    Sha256 hash;
    hash.feed(messages_[0]);
    emit(waiting_line_, hash.finish());
  }

 private:
  void emit(std::size_t line, const Sha256::Digest& digest) {
    char hex[64];
    to_hex(digest, hex);
    sink_.digested(line, std::string_view(hex, sizeof hex));
  }

  Profile profile_;
  RecordSink& sink_;
  DirectText& scratch_;
  FloatPolicy floats_;
  std::string messages_[2];
  bool waiting_ = false;
  std::size_t waiting_line_ = 0;
};

// The two walks, over whatever calls work(id, record) for each record and
// returns their count: the lines of a buffer, or a source's records.
template <class ForEach>
std::size_t digest_walk(ForEach&& for_each, Profile profile, RecordSink& sink, DirectText& scratch,
                        bool known_utf8, FloatPolicy floats) {
  PairedDigests digests(profile, sink, scratch, floats);
  const std::size_t records = for_each([&](std::size_t id, std::string_view record) {
    if (!known_utf8) {
      Result<Unit> checked = check_utf8(record);
      if (!checked.ok()) [[unlikely]] {
        digests.refuse(id, std::move(checked).error());
        return;
      }
    }
    digests.add(id, record);
  });
  digests.flush();
  return records;
}

template <class ForEach>
std::size_t canonical_walk(ForEach&& for_each, RecordSink& sink, DirectText& scratch,
                           bool known_utf8, FloatPolicy floats) {
  return for_each([&](std::size_t id, std::string_view record) {
    if (!utf8_ok(id, record, known_utf8, sink)) return;
    Result<CanonicalText> text =
        canonical_text_from_json(record, scratch, false, nullptr, nullptr, floats);
    if (text.ok()) {
      sink.canonical(id, text.value());
    } else {
      sink.refused(id, std::move(text).error());
    }
  });
}

auto lines_of(std::string_view data, std::size_t first_line) {
  return [=](auto&& work) { return for_each_record(data, first_line, work); };
}

auto records_of(RecordSource& source) {
  return [&source](auto&& work) {
    std::size_t records = 0;
    std::size_t id = 0;
    std::string_view record;
    while (source.next(id, record)) {
      ++records;
      work(id, record);
    }
    return records;
  };
}

}  // namespace

Result<std::size_t> digest_record_lines(std::string_view data, std::size_t first_line,
                                        std::string_view profile, RecordSink& sink,
                                        DirectText& scratch, bool data_is_utf8,
                                        FloatPolicy floats) {
  const std::optional<Profile> parsed = parse_profile(profile);
  if (!parsed) return fail(unknown_profile_error(profile));
  return digest_walk(lines_of(data, first_line), *parsed, sink, scratch, data_is_utf8, floats);
}

std::size_t canonical_record_lines(std::string_view data, std::size_t first_line, RecordSink& sink,
                                   DirectText& scratch, bool data_is_utf8, FloatPolicy floats) {
  return canonical_walk(lines_of(data, first_line), sink, scratch, data_is_utf8, floats);
}

Result<std::size_t> digest_records(RecordSource& records, std::string_view profile,
                                   RecordSink& sink, DirectText& scratch, bool records_are_utf8,
                                   FloatPolicy floats) {
  const std::optional<Profile> parsed = parse_profile(profile);
  if (!parsed) return fail(unknown_profile_error(profile));
  return digest_walk(records_of(records), *parsed, sink, scratch, records_are_utf8, floats);
}

std::size_t canonical_records(RecordSource& records, RecordSink& sink, DirectText& scratch,
                              bool records_are_utf8, FloatPolicy floats) {
  return canonical_walk(records_of(records), sink, scratch, records_are_utf8, floats);
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
