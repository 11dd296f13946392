// The direct path: canonical text straight from the source text, with no
// tree and no value built in between. It handles the documents that succeed,
// which is what callers send almost always; anything unusual (any fault,
// duplicate keys, markers, deep nesting, rare tag shapes) makes it step aside
// so that the exact path can decide, with the exact message.
//
// Reading writes every scalar in its canonical form, in document order, into
// one raw text, and records only the objects that the canonical text must
// change: members out of key order, root "digest" members to leave out,
// tagged forms to replace. Emitting then copies the raw text once, visiting
// those objects' members in key order. Each byte is so written twice at most,
// whatever the nesting, and a document that needs no change is its own raw
// text, as is one whose only change is key order (its objects are then
// recorded rather than put in order within a copy).
//
// Contract: when read() returns true, the emitted text is exactly what the
// gate and the encoder produce for the text; when it returns false, the
// caller must take the exact path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/memory/growable_array.h"
#include "base/memory/large_buffer.h"
#include "core/direct/records.h"
#include "core/hash/hash_pipe.h"
#include "core/hash/sha256.h"

namespace quorl {

// Deeper raw nesting than this is left to the exact path. No document that
// nests deeper can have a decoded container depth beyond the limit, so the
// direct path never has to count "$arr"/"$obj" wrappers as the decoder does.
inline constexpr std::size_t kDirectMaxRawDepth = 128;

namespace direct_detail {

// The reader's working stacks (open objects' members, decoded keys, sort
// orders, shape books, kept keys), kept between reads so that a read of a
// small record allocates nothing (reader_scratch.h).
struct ReaderScratch;
struct ReaderScratchDelete {
  void operator()(ReaderScratch* scratch) const noexcept;
};
class DirectReader;
template <class Sink>
class DirectEmitter;

}  // namespace direct_detail

class DirectText {
 public:
  // Reads text; skip_digest_key leaves out the root object's own members
  // keyed "digest", as the digest does. False: take the exact path.
  //
  // stream: a hash the canonical text is bound for. The text of a root
  // array may then be fed to it in pieces while it is read, so that the
  // raw text stays small and in cache whatever the document's size; what
  // this holds after a successful read is only the rest, which feed_text
  // adds. After false, stream holds unspecified input.
  bool read(std::string_view text, bool skip_digest_key, HashPipe* stream = nullptr);

  // After a successful read, while text is still alive: the canonical
  // text, built once...
  std::string take_text();
  // ...or its size, then written into a buffer of that size that the caller
  // owns (a result object, so that the text is copied only once)...
  std::size_t text_size() const;
  void write_text(char* dst) const;
  // ...or so, as the read's last use: a raw text too large to be kept past
  // the call is given back to the system as it is copied, so that it and
  // the buffer are never both whole at once. Nothing is emitted afterwards.
  void write_text_once(char* dst);
  // ...or, faster for short pieces, into a buffer with kTextPadding bytes of
  // room past the text, whose content is then unspecified.
  static constexpr std::size_t kTextPadding = 32;
  void write_text_padded(char* dst) const;
  // ...or fed to a hash without being built.
  void feed_text(Sha256& hash) const;
  void feed_text(HashPipe& hash) const;

  // The bytes of buffer capacity kept for the next read, and their release:
  // a caller that keeps a DirectText between reads bounds what it holds.
  std::size_t held_bytes() const noexcept;
  void release() noexcept;

 private:
  friend class direct_detail::DirectReader;
  template <class Sink>
  friend class direct_detail::DirectEmitter;
  template <class Hash>
  void feed_text_to(Hash& hash) const;

  const char* raw_data() const noexcept { return source_ != nullptr ? source_ : raw_.get(); }
  std::string_view raw() const { return {raw_data(), raw_size_}; }

  // The raw text: a plain buffer written through a cursor, since all of its
  // bytes get written and a std::string would zero-fill and re-check them.
  CharBuffer raw_;
  // Or the source text itself, when reading found nothing to write in its
  // place (compact, no escapes, no change inside): the text is then not
  // copied before it is emitted. The text must outlive the emitting, as
  // it does for every caller, which emits within the same call.
  const char* source_ = nullptr;
  std::size_t raw_size_ = 0;
  std::size_t raw_capacity_ = 0;
  // The emitted size, known from the read unless root members were left out.
  std::size_t text_size_ = 0;
  bool text_size_known_ = false;
  // in document order of '{'
  GrowableArray<direct_detail::ObjectRecord> objects_;
  // of Sorted objects, in key order
  GrowableArray<direct_detail::MemberRecord> members_;
  std::unique_ptr<direct_detail::ReaderScratch, direct_detail::ReaderScratchDelete> reader_;
};

// Convenience: read, then take the text. out is unspecified on false.
bool direct_canonical(std::string_view text, bool skip_digest_key, std::string& out);

}  // namespace quorl
