// Digest profiles: SHA-256 over a domain line naming the profile, then the
// canonical text with the root's own "digest" members left out.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/direct/direct_path.h"
#include "core/result.h"
#include "core/rules/float_text.h"

namespace quorl {

inline constexpr std::string_view kDomainTag = "spec-quorl:v2:";

bool is_known_profile(std::string_view profile) noexcept;

// The refusal of a profile that is not one of them: the fixed start, then
// the profile's own bytes.
QuorlError unknown_profile_error(std::string_view profile);

// 64 lowercase hex characters, or the first failure: the document, then the
// profile, then the encoder.
Result<std::string> py_digest_from_json(std::string_view tagged_json, std::string_view profile);
// Documents from this size on are hashed on a second thread while they are
// read; smaller ones are the records and files that callers spread over
// threads or processes of their own, which a thread per call would crowd.
inline constexpr std::size_t kHashThreadFromBytes = std::size_t{4} << 20;

// The same, with the direct path's buffers kept by the caller between calls
// (and, for tests, another size from which a thread hashes), and floats
// refused or taken as strings (see canonical_text_from_json).
Result<std::string> py_digest_from_json(std::string_view tagged_json, std::string_view profile,
                                        DirectText& scratch,
                                        std::size_t hash_thread_from = kHashThreadFromBytes,
                                        FloatPolicy floats = FloatPolicy::Refuse);

// The message py_digest_from_json hashes (the domain line, then the text),
// appended to `message`, for a caller that hashes several at once; fails as
// py_digest_from_json does, and `message` then holds unspecified bytes.
Result<Unit> append_digest_message(std::string_view tagged_json, std::string_view profile,
                                   DirectText& scratch, std::string& message,
                                   FloatPolicy floats = FloatPolicy::Refuse);

}  // namespace quorl
