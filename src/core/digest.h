// The digest of a document: SHA-256 over its profile's domain line, then its
// canonical text with the root object's own "digest" members left out.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/result.h"
#include "core/direct/direct_path.h"
#include "core/rules/float_text.h"
#include "core/rules/profile.h"

namespace quorl {

// 64 lowercase hex characters, or the first failure: the document, then the
// profile, then the encoder. Wholly on the calling thread: it starts none.
Result<std::string> py_digest_from_json(std::string_view tagged_json, std::string_view profile);
// The same, with the direct path's buffers kept by the caller between calls.
Result<std::string> py_digest_from_json(std::string_view tagged_json, std::string_view profile,
                                        DirectText& scratch);

// For callers that may start threads (the quorl package): documents from
// this size on are hashed on a second thread while they are read. Smaller
// ones are the records and files that callers spread over threads or
// processes of their own, which a thread per call would crowd.
inline constexpr std::size_t kHashThreadFromBytes = std::size_t{4} << 20;

// The same digest, hashed alongside the reading from hash_thread_from bytes
// on, and floats refused or taken as strings (see canonical_text_from_json).
Result<std::string> pipelined_digest_from_json(std::string_view tagged_json,
                                               std::string_view profile, DirectText& scratch,
                                               std::size_t hash_thread_from = kHashThreadFromBytes,
                                               FloatPolicy floats = FloatPolicy::Refuse);
// For a profile already parsed (a batch of records parses it once).
Result<std::string> pipelined_digest_from_json(std::string_view tagged_json, Profile profile,
                                               DirectText& scratch,
                                               std::size_t hash_thread_from = kHashThreadFromBytes,
                                               FloatPolicy floats = FloatPolicy::Refuse);

// The message a digest hashes (the domain line, then the text), appended to
// `message`, for a caller that hashes several at once; fails as the digest
// does, and `message` then holds unspecified bytes.
Result<Unit> append_digest_message(std::string_view tagged_json, Profile profile,
                                   DirectText& scratch, std::string& message,
                                   FloatPolicy floats = FloatPolicy::Refuse);

}  // namespace quorl
