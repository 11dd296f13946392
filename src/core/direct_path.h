// The direct path: canonical text straight from the source text in one pass,
// with no tree and no value built in between. It handles the documents that
// succeed, which is what callers send almost always; anything unusual (any
// fault, duplicate keys, markers, deep nesting, rare tag shapes) makes it
// step aside so that the exact path can decide, with the exact message.
//
// Contract: when it returns true, out holds exactly what the gate and the
// encoder would produce for the text; when it returns false, out is
// unspecified and the caller must take the exact path.
#pragma once

#include <string>
#include <string_view>

namespace quorl {

// Deeper raw nesting than this is left to the exact path. No document that
// nests deeper can have a decoded container depth beyond the limit, so the
// direct path never has to count "$arr"/"$obj" wrappers as the decoder does.
inline constexpr std::size_t kDirectMaxRawDepth = 128;

// skip_root_digest: leave out the root object's own members keyed "digest",
// as the digest does.
bool direct_canonical(std::string_view text, bool skip_root_digest, std::string& out);

}  // namespace quorl
