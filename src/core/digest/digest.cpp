#include "core/digest/digest.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>

#include "core/canonical_text.h"
#include "core/digest/hash_pipe.h"
#include "core/digest/sha256.h"
#include "core/direct/direct_path.h"

namespace quorl {

namespace {
constexpr std::array<std::string_view, 4> kProfiles = {"run", "certificate", "artifact-byte",
                                                       "semantic-content"};
}  // namespace

bool is_known_profile(std::string_view profile) noexcept {
  for (std::string_view p : kProfiles) {
    if (p == profile) return true;
  }
  return false;
}

QuorlError unknown_profile_error(std::string_view profile) {
  QuorlError error{std::string(msg::kUnknownProfilePrefix.text)};
  error.message.append(profile);
  error.code = Fault::UnknownProfile;
  return error;
}

namespace {

// Where the message goes: into a hash as it is produced (the domain line
// first, so that the text may follow while it is read)...
// A large document's text is hashed on a second thread while it is read
// (see HashPipe); a smaller one's wholly on this thread.
struct HashTarget {
  explicit HashTarget(std::size_t from) : thread_from(from) {}
  std::size_t thread_from;
  Sha256 hash;
  std::optional<HashPipe> pipe;  // made once the domain line is in the hash
  void begin(std::string_view profile, std::size_t size) {
    hash.feed(kDomainTag);
    hash.feed(profile);
    hash.feed(std::string_view("\n"));
    pipe.emplace(hash, HashPipe::kBlockBytes, size >= thread_from ? 0 : SIZE_MAX);
  }
  HashPipe* stream() { return &*pipe; }
  void put(std::string_view /*profile*/, const CanonicalText& text) {
    pipe->finish();
    text.feed(hash);
  }
};

// ...or onto the end of a buffer, the domain line and the text with one
// growth of the buffer.
struct BufferTarget {
  std::string& out;
  void begin(std::string_view /*profile*/, std::size_t /*size*/) {}
  HashPipe* stream() { return nullptr; }
  void put(std::string_view profile, const CanonicalText& text) {
    const std::size_t at = out.size();
    const std::size_t line = kDomainTag.size() + profile.size() + 1;
    const std::size_t size = at + line + text.size();
    out.resize(size + DirectText::kTextPadding);
    char* w = out.data() + at;
    std::memcpy(w, kDomainTag.data(), kDomainTag.size());
    std::memcpy(w + kDomainTag.size(), profile.data(), profile.size());
    w[line - 1] = '\n';
    text.write_padded(w + line);
    out.resize(size);
  }
};

// The one producer of the bytes a digest covers. The document is judged
// before the profile, so its faults win; the encoder's come last. A root
// object leaves out its own "digest" members; nothing deeper does.
template <class Target>
Result<Unit> produce_message(std::string_view tagged_json, std::string_view profile,
                             DirectText& scratch, Target& target, FloatPolicy floats) {
  std::optional<QuorlError> profile_fault;
  if (!is_known_profile(profile)) [[unlikely]]
    profile_fault = unknown_profile_error(profile);
  target.begin(profile, tagged_json.size());
  Result<CanonicalText> text =
      canonical_text_from_json(tagged_json, scratch, RootDigest::LeaveOut,
                               profile_fault ? &*profile_fault : nullptr, target.stream(), floats);
  if (!text.ok()) return fail(std::move(text).error());
  target.put(profile, text.value());
  return Unit{};
}

}  // namespace

Result<std::string> py_digest_from_json(std::string_view tagged_json, std::string_view profile) {
  DirectText scratch;
  return py_digest_from_json(tagged_json, profile, scratch);
}

Result<std::string> py_digest_from_json(std::string_view tagged_json, std::string_view profile,
                                        DirectText& scratch, std::size_t hash_thread_from,
                                        FloatPolicy floats) {
  HashTarget target(hash_thread_from);
  Result<Unit> produced = produce_message(tagged_json, profile, scratch, target, floats);
  if (!produced.ok()) return fail(std::move(produced).error());
  return to_hex(target.hash.finish());
}

Result<Unit> append_digest_message(std::string_view tagged_json, std::string_view profile,
                                   DirectText& scratch, std::string& message,
                                   FloatPolicy floats) {
  BufferTarget target{message};
  return produce_message(tagged_json, profile, scratch, target, floats);
}

}  // namespace quorl
