// A column's results as an Arrow struct array of two children (the digest
// or the canonical bytes, and the refusal text), held in native memory and
// handed out through the Arrow C data interface: every export shares the
// buffers, which are freed when the last export and the holder are
// released. No Python here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "native/arrow_c_data.h"

namespace quorl::native {

// Bytes owned by a result: made unfilled, or taken over from a string.
class ResultBytes {
 public:
  ResultBytes() : ResultBytes(0) {}
  explicit ResultBytes(std::size_t size);  // contents unspecified
  explicit ResultBytes(std::string&& text) noexcept;

  char* data() noexcept { return data_; }
  const char* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }

 private:
  std::unique_ptr<char[]> raw_;
  std::string text_;
  char* data_ = nullptr;
  std::size_t size_ = 0;
};

// One child: a nullable string, binary (offsets of 32 or 64 bits) or
// fixed-size binary column.
struct ResultChild {
  std::string name;
  std::string format;  // "u", "U", "z", "Z" or "w:32"
  std::int64_t null_count = 0;
  std::vector<std::uint8_t> validity;  // empty when nothing is null
  ResultBytes offsets;                 // none for fixed-size binary
  bool has_offsets = true;
  ResultBytes data;
};

struct ResultColumn {
  std::int64_t length = 0;
  ResultChild children[2];
};

// Fills *schema and *array (which the caller then owns) with a new export of
// the result as a struct array.
void export_result(const std::shared_ptr<const ResultColumn>& result, ArrowSchema* schema,
                   ArrowArray* array);

}  // namespace quorl::native
