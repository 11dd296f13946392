#include "core/canonical_text.h"

#include <cstring>
#include <optional>

#include "core/exact/encoder.h"
#include "core/exact/input_gate.h"
#include "core/hash/sha256.h"
#include "core/rules/float_tokens.h"

namespace quorl {

namespace {

// The exact path from a decoded document on: the pending refusal, then the
// encoder's faults, located in the text.
Result<std::string> encode_exact(const QuorlValue& root, std::string_view text,
                                 bool skip_digest_key, const QuorlError* pending) {
  if (pending != nullptr) return fail(QuorlError(*pending));
  std::string out;
  out.reserve(text.size());
  std::optional<EncodeFault> fault =
      skip_digest_key && root.is<Object>()
          ? encode_object_into(out, root.as<Object>().entries, 1, true)
          : encode_value_into(out, root, 0);
  if (fault) {
    QuorlError error = fault->error();
    locate(error, text);
    return fail(std::move(error));
  }
  return out;
}

Result<std::string> exact_text(std::string_view text, bool skip_digest_key,
                               const QuorlError* pending, FloatPolicy floats) {
  Result<QuorlValue> value = decode_input_json(text, floats);
  if (!value.ok()) return fail(std::move(value).error());
  return encode_exact(value.value(), text, skip_digest_key, pending);
}

}  // namespace

void CanonicalText::write_to(char* dst) const {
  if (direct_) {
    direct_->write_text(dst);
  } else if (!text_.empty()) {
    std::memcpy(dst, text_.data(), text_.size());
  }
}

void CanonicalText::write_last(char* dst) {
  if (direct_) {
    direct_->write_text_once(dst);
  } else {
    write_to(dst);
  }
}

void CanonicalText::write_padded(char* dst) const {
  if (direct_) {
    direct_->write_text_padded(dst);
  } else {
    write_to(dst);
  }
}

void CanonicalText::feed(Sha256& hash) const {
  if (direct_) {
    direct_->feed_text(hash);  // never built whole
  } else {
    hash.feed(text_);
  }
}

Result<CanonicalText> canonical_text_from_json(std::string_view text, DirectText& scratch,
                                               bool skip_digest_key, const QuorlError* pending,
                                               HashPipe* stream, FloatPolicy floats) {
  if (scratch.read(text, skip_digest_key, stream)) [[likely]] {
    if (pending != nullptr) return fail(QuorlError(*pending));
    return CanonicalText(scratch);
  }
  // What the direct path fed the hash is dropped: it stepped aside.
  if (stream != nullptr) stream->restart();
  if (floats == FloatPolicy::Str) {
    auto quoted = std::make_unique<std::string>();
    if (quote_float_tokens(text, *quoted) == QuotedFloats::Quoted &&
        scratch.read(*quoted, skip_digest_key, stream)) {
      if (pending != nullptr) return fail(QuorlError(*pending));
      return CanonicalText(scratch, std::move(quoted));
    }
    if (stream != nullptr) stream->restart();
  }
  Result<std::string> exact = exact_text(text, skip_digest_key, pending, floats);
  if (!exact.ok()) return fail(std::move(exact).error());
  return CanonicalText(std::move(exact).value());
}

Result<std::string> exact_canonical_text(std::string_view text, bool skip_digest_key,
                                         FloatPolicy floats) {
  return exact_text(text, skip_digest_key, nullptr, floats);
}

Result<std::string> py_canonical_bytes_from_json(std::string_view text) {
  DirectText scratch;
  Result<CanonicalText> canonical = canonical_text_from_json(text, scratch);
  if (!canonical.ok()) return fail(std::move(canonical).error());
  std::string out(canonical.value().size(), '\0');
  canonical.value().write_last(out.data());
  return out;
}

}  // namespace quorl
