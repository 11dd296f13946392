#include "core/digest.h"

#include <cstdint>
#include <cstring>
#include <optional>

#include "core/canonical_text.h"
#include "core/hash/hash_pipe.h"
#include "core/hash/sha256.h"

namespace quorl {

namespace {

// Where the message goes: into a hash as it is produced (the domain line
// first, so that the text may follow while it is read). A document of
// thread_from bytes or more is hashed on a second thread while it is read
// (see HashPipe); a smaller one wholly on this thread.
struct HashTarget {
  explicit HashTarget(std::size_t from) : thread_from(from) {}
  std::size_t thread_from;
  Sha256 hash;
  std::optional<HashPipe> pipe;  // made once the domain line is in the hash
  void begin(std::string_view line, std::size_t size) {
    hash.feed(line);
    pipe.emplace(hash, HashPipe::kBlockBytes, size >= thread_from ? 0 : SIZE_MAX);
  }
  HashPipe* stream() { return &*pipe; }
  void put(std::string_view /*line*/, const CanonicalText& text) {
    pipe->finish();
    text.feed(hash);
  }
};

// ...or onto the end of a buffer, the domain line and the text with one
// growth of the buffer.
struct BufferTarget {
  std::string& out;
  void begin(std::string_view /*line*/, std::size_t /*size*/) {}
  HashPipe* stream() { return nullptr; }
  void put(std::string_view line, const CanonicalText& text) {
    const std::size_t at = out.size();
    const std::size_t size = at + line.size() + text.size();
    out.resize(size + DirectText::kTextPadding);
    std::memcpy(out.data() + at, line.data(), line.size());
    text.write_padded(out.data() + at + line.size());
    out.resize(size);
  }
};

// The one producer of the bytes a digest covers. The document is judged
// before the profile, so its faults win; the encoder's come last. A root
// object leaves out its own "digest" members; nothing deeper does.
template <class Target>
Result<Unit> produce_message(std::string_view tagged_json, std::string_view profile_name,
                             std::optional<Profile> profile, DirectText& scratch, Target& target,
                             FloatPolicy floats) {
  std::optional<QuorlError> profile_fault;
  if (!profile) [[unlikely]]
    profile_fault = unknown_profile_error(profile_name);
  // An unknown profile's line is never hashed to the end: the call fails.
  target.begin(profile ? domain_line(*profile) : std::string_view(), tagged_json.size());
  Result<CanonicalText> text =
      canonical_text_from_json(tagged_json, scratch, /*skip_digest_key=*/true,
                               profile_fault ? &*profile_fault : nullptr, target.stream(), floats);
  if (!text.ok()) return fail(std::move(text).error());
  target.put(domain_line(*profile), text.value());
  return Unit{};
}

Result<std::string> hashed(std::string_view tagged_json, std::string_view profile_name,
                           std::optional<Profile> profile, DirectText& scratch,
                           std::size_t hash_thread_from, FloatPolicy floats) {
  HashTarget target(hash_thread_from);
  Result<Unit> produced =
      produce_message(tagged_json, profile_name, profile, scratch, target, floats);
  if (!produced.ok()) return fail(std::move(produced).error());
  return to_hex(target.hash.finish());
}

}  // namespace

Result<std::string> py_digest_from_json(std::string_view tagged_json, std::string_view profile) {
  DirectText scratch;
  return py_digest_from_json(tagged_json, profile, scratch);
}

Result<std::string> py_digest_from_json(std::string_view tagged_json, std::string_view profile,
                                        DirectText& scratch) {
  return hashed(tagged_json, profile, parse_profile(profile), scratch, SIZE_MAX,
                FloatPolicy::Refuse);
}

Result<std::string> pipelined_digest_from_json(std::string_view tagged_json,
                                               std::string_view profile, DirectText& scratch,
                                               std::size_t hash_thread_from, FloatPolicy floats) {
  return hashed(tagged_json, profile, parse_profile(profile), scratch, hash_thread_from, floats);
}

Result<std::string> pipelined_digest_from_json(std::string_view tagged_json, Profile profile,
                                               DirectText& scratch, std::size_t hash_thread_from,
                                               FloatPolicy floats) {
  return hashed(tagged_json, profile_name(profile), profile, scratch, hash_thread_from, floats);
}

Result<Unit> append_digest_message(std::string_view tagged_json, Profile profile,
                                   DirectText& scratch, std::string& message, FloatPolicy floats) {
  BufferTarget target{message};
  return produce_message(tagged_json, profile_name(profile), profile, scratch, target, floats);
}

}  // namespace quorl
