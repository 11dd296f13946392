#include "core/digest.h"

#include <array>

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

// A hash that has been fed the domain line of the profile.
Sha256 domain_hash(std::string_view profile) {
  Sha256 hash;
  hash.feed(kDomainTag);
  hash.feed(profile);
  hash.feed("\n");
  return hash;
}

}  // namespace

// The document is judged before the profile, so its faults win; the
// encoder's come last. A root object leaves out its own "digest" members;
// nothing deeper does.
Result<std::string> py_digest_from_json(std::string_view tagged_json, std::string_view profile) {
  DirectText scratch;
  return py_digest_from_json(tagged_json, profile, scratch);
}

Result<std::string> py_digest_from_json(std::string_view tagged_json, std::string_view profile,
                                        DirectText& scratch) {
  if (scratch.read(tagged_json, true)) [[likely]] {
    if (!is_known_profile(profile)) return fail(unknown_profile(profile));
    Sha256 hash = domain_hash(profile);
    scratch.feed_text(hash);  // the canonical text is never built whole
    return to_hex(hash.finish());
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
  Sha256 hash = domain_hash(profile);
  hash.feed(canonical);
  return to_hex(hash.finish());
}

}  // namespace quorl
