// The front door of the core: the canonical text of a document, from the
// direct path when it takes the document, else from the exact path, which
// decides every refusal. Both of the module's functions, the batch walk,
// the tests and the fuzz targets come in here rather than choosing a path
// themselves.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "base/memory/thread_scratch.h"
#include "base/result.h"
#include "core/direct/direct_path.h"
#include "core/rules/float_text.h"

namespace quorl {

class Sha256;

// The canonical text, held so that it can be written straight into a buffer
// the caller sizes and owns (the module's bytes object), or fed to a hash,
// without being built and copied again.
class CanonicalText {
 public:
  // Borrows direct, which must outlive this and not be read into meanwhile.
  explicit CanonicalText(DirectText& direct) : direct_(&direct) {}
  // The same for a text made for the direct path to read (its floats
  // quoted), kept alive with it.
  CanonicalText(DirectText& direct, std::unique_ptr<const std::string> source)
      : direct_(&direct), source_(std::move(source)) {}
  explicit CanonicalText(std::string text) : text_(std::move(text)) {}

  std::size_t size() const { return direct_ ? direct_->text_size() : text_.size(); }
  // dst must hold size() bytes...
  void write_to(char* dst) const;
  // ...or so as its last use (a result object made of it): a large
  // document's working memory is given back as the text is copied, and
  // nothing is written or fed from this afterwards.
  void write_last(char* dst);
  // ...or size() + DirectText::kTextPadding bytes, whose tail is then
  // unspecified (faster for a text of many short pieces).
  void write_padded(char* dst) const;
  void feed(Sha256& hash) const;

 private:
  DirectText* direct_ = nullptr;
  std::unique_ptr<const std::string> source_;
  std::string text_;
};

// scratch: the direct path's buffers, which a caller making many calls keeps
// and passes again so that each call does not allocate them afresh. The
// result may borrow from it. skip_digest_key: the root object's own
// "digest" members are left out (what a digest covers); nothing deeper
// ever is. pending: a refusal that ranks after the
// document's own faults and before the encoder's (the digest's unknown
// profile), returned when the document reads and decodes; null for none.
//
// stream: for a caller that only feeds the text to a hash, its pipe.
// Part of the text may then already be fed to it on success, and the result
// is only the rest (feed() alone is meaningful); when the direct path steps
// aside, the feed is restarted.
//
// floats: with Str, a document the direct path steps aside from for its
// float tokens is read again with them quoted as their repr's strings; the
// exact path still judges the caller's own text, so refusals are located
// in it.
Result<CanonicalText> canonical_text_from_json(std::string_view text, DirectText& scratch,
                                               bool skip_digest_key = false,
                                               const QuorlError* pending = nullptr,
                                               HashPipe* stream = nullptr,
                                               FloatPolicy floats = FloatPolicy::Refuse);

// The calling thread's direct-path buffers, lent to one call at a time.
using ScratchLease = ThreadScratchLease<DirectText, kScratchKeepBytes>;

// The exact path alone: the gate, the decoder and the encoder, every refusal
// located. The direct path must agree with it on every document it takes.
Result<std::string> exact_canonical_text(std::string_view text, bool skip_digest_key,
                                         FloatPolicy floats = FloatPolicy::Refuse);

// The bytes behind canonical_bytes_from_json.
Result<std::string> py_canonical_bytes_from_json(std::string_view text);

}  // namespace quorl
