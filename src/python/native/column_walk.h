// Digests or canonical bytes of every document of an Arrow column, as a
// result column (see arrow_result.h). A large column is cut into blocks of
// rows that worker threads take in turn, each with its own working buffers;
// results land in row order whatever the thread. No Python here: the caller
// has released the interpreter lock.
#pragma once

#include <memory>
#include <string_view>

#include "core/rules/float_text.h"
#include "native/arrow_column.h"
#include "native/arrow_result.h"

namespace quorl::native {

enum class ColumnOutput { HexDigest, RawDigest, Canonical };

struct ColumnRequest {
  ColumnOutput output = ColumnOutput::HexDigest;
  std::string_view profile;  // a known profile, for the digests
  unsigned threads = 1;      // at most this many, the calling thread included
  FloatPolicy floats = FloatPolicy::Refuse;
};

// The children are named "digest" (or "canonical") and "error". A null
// document has neither; a refused one has its refusal text (as
// RefusedError's str() reads) and no digest. Throws only std::bad_alloc.
std::shared_ptr<ResultColumn> walk_column(const ArrowColumn& column, const ColumnRequest& request);

// The threads that this process may run on.
unsigned usable_cores() noexcept;

}  // namespace quorl::native
