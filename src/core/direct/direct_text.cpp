// DirectText, the text holder: a read's raw text (or the source itself)
// and its records, and the canonical text emitted from them in the shape
// each caller wants.
#include <algorithm>
#include <string>

#include "base/memory/thread_scratch.h"
#include "core/direct/direct_emitter.h"
#include "core/direct/direct_path.h"
#include "core/direct/direct_reader.h"

namespace quorl {

namespace {

// The records reserved up front, as fractions of the source's size: 1/8
// for objects, 1/4 for the members of sorted objects.
constexpr std::size_t kRecordShareOfText = 8;
constexpr std::size_t kMemberShareOfText = 4;
// The records of a document that has few (most records and small
// documents: a reordered object or two) fit in blocks of this many, which
// share pages with the reader's other small parts; the share above is
// taken only when they are spent.
constexpr std::size_t kFirstRecords = 64;

using direct_detail::kRawSlack;
using direct_detail::kStreamBytes;

}  // namespace

void direct_detail::ReaderScratchDelete::operator()(ReaderScratch* scratch) const noexcept {
  delete scratch;
}

bool DirectText::read(std::string_view text, bool skip_digest_key, HashPipe* stream) {
  source_ = nullptr;
  raw_size_ = 0;
  text_size_known_ = false;
  objects_.clear();
  members_.clear();
  // The canonical text is seldom longer than its source (only escapes such
  // as \n, which grow to six bytes). A heap buffer starts a quarter larger,
  // which covers documents that use them without growing (growth in a heap
  // the process has churned can mean a copy, both blocks resident at once);
  // pages reserved but never written cost no memory. A buffer large enough
  // to be mapped grows by remapping, without a copy: it starts at the
  // source's size.
  const std::size_t headroom = text.size() >= kMappedBufferBytes ? 0 : text.size() / 4;
  std::size_t capacity = text.size() + headroom + kRawSlack + DirectText::kTextPadding;
  // A root array read for a hash needs room for what waits between two
  // hand-overs (the buffer grows for a larger element).
  if (stream != nullptr) {
    const std::size_t first =
        skip_whitespace(reinterpret_cast<const unsigned char*>(text.data()), 0, text.size());
    if (first == text.size() || text[first] != '[') stream = nullptr;
  }
  const bool streamed = stream != nullptr;
  const std::size_t streamed_capacity = 2 * kStreamBytes + kRawSlack + DirectText::kTextPadding;
  if (streamed) capacity = std::min(capacity, streamed_capacity);
  // Made with the first byte written: a text that stays its own raw text
  // (see text_stays_uncopied) reserves no copy of itself.
  if (raw_capacity_ < capacity) {
    raw_.reset();
    raw_capacity_ = 0;
  }
  // Room for the records of documents seen in practice (an eighth of the
  // source's size for objects, a quarter for sorted members), so that they
  // seldom grow: growing a heap block can mean a copy, both resident at
  // once. Pages reserved but never written cost no memory, but a block's
  // first page does: the room is taken once the first few records are
  // spent.
  const std::size_t recorded = std::min(text.size(), capacity);
  const std::size_t object_room =
      recorded / kRecordShareOfText / sizeof(direct_detail::ObjectRecord) + 1;
  const std::size_t member_room =
      recorded / kMemberShareOfText / sizeof(direct_detail::MemberRecord) + 1;
  objects_.reserve_in_steps(std::min(object_room, kFirstRecords), object_room);
  members_.reserve_in_steps(std::min(member_room, kFirstRecords), member_room);
  if (!reader_) reader_.reset(new direct_detail::ReaderScratch);
  reader_->clear();
  direct_detail::DirectReader reader(text, skip_digest_key, stream, *this, capacity);
  return reader.run();
}

std::string DirectText::take_text() {
  if (objects_.empty()) return std::string(raw());
  std::string out;
  out.reserve(raw_size_);
  direct_detail::StringSink sink{out};
  direct_detail::DirectEmitter<direct_detail::StringSink>(*this, sink).run();
  return out;
}

std::size_t DirectText::text_size() const {
  if (text_size_known_) return text_size_;
  direct_detail::CountSink sink;
  direct_detail::DirectEmitter<direct_detail::CountSink>(*this, sink).run();
  return sink.size;
}

void DirectText::write_text(char* dst) const {
  direct_detail::BufferSink sink{dst};
  direct_detail::DirectEmitter<direct_detail::BufferSink>(*this, sink).run();
}

void DirectText::write_text_once(char* dst) {
  // A smaller one may be kept for the next call (thread_scratch.h), which
  // then finds its pages in place.
  if (source_ != nullptr || raw_capacity_ <= kParkedScratchMaxBytes) return write_text(dst);
  direct_detail::ReleasingBufferSink sink{dst, raw_.get(), raw_capacity_};
  direct_detail::DirectEmitter<direct_detail::ReleasingBufferSink>(*this, sink).run();
  raw_size_ = 0;
  text_size_ = 0;
  text_size_known_ = true;
  objects_.clear();
  members_.clear();
}

void DirectText::write_text_padded(char* dst) const {
  // The source text has no room past its pieces to read.
  if (source_ != nullptr) return write_text(dst);
  direct_detail::PaddedBufferSink sink{dst};
  direct_detail::DirectEmitter<direct_detail::PaddedBufferSink>(*this, sink).run();
}

template <class Hash>
void DirectText::feed_text_to(Hash& hash) const {
  if (objects_.empty()) {
    hash.feed(raw_data(), raw_size_);
    return;
  }
  direct_detail::HashSink<Hash> sink(hash);
  direct_detail::DirectEmitter<direct_detail::HashSink<Hash>>(*this, sink).run();
}

void DirectText::feed_text(Sha256& hash) const {
  feed_text_to(hash);
}
void DirectText::feed_text(HashPipe& hash) const {
  feed_text_to(hash);
}

std::size_t DirectText::held_bytes() const noexcept {
  return raw_capacity_ + objects_.capacity() * sizeof(direct_detail::ObjectRecord) +
         members_.capacity() * sizeof(direct_detail::MemberRecord) +
         (reader_ ? reader_->held_bytes() : 0);
}

void DirectText::release() noexcept {
  *this = DirectText();
}

bool direct_canonical(std::string_view text, bool skip_digest_key, std::string& out) {
  DirectText doc;
  if (!doc.read(text, skip_digest_key)) return false;
  out = doc.take_text();
  return true;
}

}  // namespace quorl
