#include "core/digest.h"

#include <array>
#include <cstring>

#include "core/direct_path.h"
#include "core/encoder.h"
#include "core/input_gate.h"
#include "core/sha256.h"

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

namespace {

QuorlError unknown_profile(std::string_view profile) {
  std::string message(kUnknownProfilePrefix);
  message.append(profile);
  return QuorlError{std::move(message)};
}

// Where the message goes: into a hash as it is produced...
struct HashTarget {
  Sha256 hash;
  void put(std::string_view bytes) noexcept { hash.feed(bytes); }
  // The direct path's text is never built whole.
  void put(const DirectText& doc) { doc.feed_text(hash); }
};

// ...or onto the end of a buffer.
struct BufferTarget {
  std::string& out;
  void put(std::string_view bytes) { out.append(bytes); }
  void put(const DirectText& doc) {
    const std::size_t at = out.size();
    out.resize(at + doc.text_size());
    doc.write_text(out.data() + at);
  }
  // The domain line and the direct path's text with one growth of the buffer.
  void put(std::string_view profile, const DirectText& doc) {
    const std::size_t at = out.size();
    const std::size_t line = kDomainTag.size() + profile.size() + 1;
    const std::size_t size = at + line + doc.text_size();
    out.resize(size + DirectText::kTextPadding);
    char* w = out.data() + at;
    std::memcpy(w, kDomainTag.data(), kDomainTag.size());
    std::memcpy(w + kDomainTag.size(), profile.data(), profile.size());
    w[line - 1] = '\n';
    doc.write_text_padded(w + line);
    out.resize(size);
  }
};

template <class Target>
void put_domain_line(Target& target, std::string_view profile) {
  target.put(kDomainTag);
  target.put(profile);
  target.put(std::string_view("\n"));
}

template <class Target>
void put_message(Target& target, std::string_view profile, const DirectText& doc) {
  if constexpr (requires { target.put(profile, doc); }) {
    target.put(profile, doc);
  } else {
    put_domain_line(target, profile);
    target.put(doc);
  }
}

// The one producer of the bytes a digest covers. The document is judged
// before the profile, so its faults win; the encoder's come last. A root
// object leaves out its own "digest" members; nothing deeper does.
template <class Target>
Result<Unit> produce_message(std::string_view tagged_json, std::string_view profile,
                             DirectText& scratch, Target& target) {
  if (scratch.read(tagged_json, true)) [[likely]] {
    if (!is_known_profile(profile)) return fail(unknown_profile(profile));
    put_message(target, profile, scratch);
    return Unit{};
  }

  Result<QuorlValue> value = decode_input_json(tagged_json);
  if (!value.ok()) return fail(std::move(value).error());
  if (!is_known_profile(profile)) return fail(unknown_profile(profile));
  const QuorlValue& root = value.value();
  std::string canonical;
  std::optional<EncodeFault> fault =
      root.is<Object>() ? encode_object_into(canonical, root.as<Object>().entries, 1, true)
                        : encode_value_into(canonical, root, 0);
  if (fault) {
    QuorlError error = fault->error();
    locate(error, tagged_json);
    return fail(std::move(error));
  }
  put_domain_line(target, profile);
  target.put(std::string_view(canonical));
  return Unit{};
}

}  // namespace

Result<std::string> py_digest_from_json(std::string_view tagged_json, std::string_view profile) {
  DirectText scratch;
  return py_digest_from_json(tagged_json, profile, scratch);
}

Result<std::string> py_digest_from_json(std::string_view tagged_json, std::string_view profile,
                                        DirectText& scratch) {
  HashTarget target;
  Result<Unit> produced = produce_message(tagged_json, profile, scratch, target);
  if (!produced.ok()) return fail(std::move(produced).error());
  return to_hex(target.hash.finish());
}

Result<Unit> append_digest_message(std::string_view tagged_json, std::string_view profile,
                                   DirectText& scratch, std::string& message) {
  BufferTarget target{message};
  return produce_message(tagged_json, profile, scratch, target);
}

}  // namespace quorl
