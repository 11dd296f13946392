// A column of documents read in place from Arrow arrays: string,
// large_string, string_view, binary, large_binary (or null), in one array or
// a stream of chunks, or the only column of a struct (a record batch of one
// column). Every buffer is checked before any value is read (offsets
// ascending, views within their buffers), so that a malformed or lying array
// is an error, never a read out of bounds. The arrays are owned here and
// released with the column. No Python here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "native/arrow_c_data.h"

namespace quorl::native {

// Why a column cannot be read: its type (a TypeError for the caller), its
// buffers (a ValueError), or its stream (an OSError with the stream's code).
struct ColumnFault {
  enum class Kind { None, Type, Malformed, Stream } kind = Kind::None;
  std::string message;
  int code = 0;  // the stream's errno
  explicit operator bool() const noexcept { return kind != Kind::None; }
};

// One array's values, the only part of a column that the walk reads.
struct ColumnChunk {
  enum class Layout : std::uint8_t { Null, Offsets32, Offsets64, Views };
  Layout layout = Layout::Null;
  std::int64_t length = 0;
  // Validity: a struct's and the values' own, each with its bit offset;
  // null when every row there is valid.
  const std::uint8_t* outer_validity = nullptr;
  std::int64_t outer_offset = 0;
  const std::uint8_t* validity = nullptr;
  std::int64_t offset = 0;                // row 0's index in the value buffers
  const void* index = nullptr;            // offsets, or 16-byte views
  const char* data = nullptr;             // offsets' data
  const char* const* variadic = nullptr;  // views' data buffers

  bool is_null(std::int64_t row) const noexcept;
  // The value of a row that is not null.
  std::string_view value(std::int64_t row) const noexcept;
};

class ArrowColumn {
 public:
  ArrowColumn() = default;
  ArrowColumn(const ArrowColumn&) = delete;
  ArrowColumn& operator=(const ArrowColumn&) = delete;

  // Takes the schema over (it is marked released at its source); checks
  // that its type is one the column reads.
  ColumnFault set_schema(ArrowSchema* schema);
  // Takes an array of that type over and checks its buffers.
  ColumnFault add_array(ArrowArray* array);
  // Reads a stream whole: its schema, then every array. The stream stays
  // the caller's, to release.
  ColumnFault read_stream(ArrowArrayStream* stream);

  const std::vector<ColumnChunk>& chunks() const noexcept { return chunks_; }
  std::int64_t rows() const noexcept { return rows_; }
  // The bytes of all values, for sharing the work out.
  std::int64_t bytes() const noexcept { return bytes_; }

 private:
  ColumnFault check_chunk(const ArrowArray& array, std::int64_t outer_offset, std::int64_t length,
                          ColumnChunk& chunk);

  ArrowOwned<ArrowSchema> schema_;
  std::vector<ArrowOwned<ArrowArray>> arrays_;
  std::vector<ColumnChunk> chunks_;
  std::int64_t rows_ = 0;
  std::int64_t bytes_ = 0;
  ColumnChunk::Layout layout_ = ColumnChunk::Layout::Null;
  bool wrapped_ = false;  // the only child of a struct
};

}  // namespace quorl::native
