#include "native/arrow_column.h"

#include <cstring>
#include <limits>

namespace quorl::native {

namespace {

using Layout = ColumnChunk::Layout;

// Buffers carry no promise of alignment through the interface.
template <class T>
T load(const void* base, std::int64_t index) noexcept {
  T value;
  std::memcpy(&value, static_cast<const char*>(base) + index * std::int64_t{sizeof(T)}, sizeof(T));
  return value;
}

bool bit(const std::uint8_t* bitmap, std::int64_t index) noexcept {
  return (bitmap[index >> 3] >> (index & 7)) & 1;
}

constexpr std::int64_t kViewBytes = 16;
constexpr std::int32_t kViewInlineBytes = 12;

ColumnFault type_fault(std::string what) {
  return {ColumnFault::Kind::Type,
          "column must be Arrow string, large_string, string_view, binary or large_binary, not " +
              std::move(what),
          0};
}

ColumnFault malformed(const char* what) {
  return {ColumnFault::Kind::Malformed, std::string("malformed Arrow array: ") + what, 0};
}

// A person's name for the types a column is most often mistaken for.
std::string type_name(const char* format) {
  static constexpr struct {
    const char* format;
    const char* name;
  } kNames[] = {{"b", "bool"},     {"c", "int8"},        {"C", "uint8"},       {"s", "int16"},
                {"S", "uint16"},   {"i", "int32"},       {"I", "uint32"},      {"l", "int64"},
                {"L", "uint64"},   {"e", "float16"},     {"f", "float32"},     {"g", "float64"},
                {"+l", "list"},    {"+L", "large_list"}, {"+vl", "list_view"}, {"+m", "map"},
                {"tdD", "date32"}, {"tdm", "date64"}};
  if (format == nullptr) return "a type without a format";
  for (const auto& known : kNames) {
    if (std::strcmp(format, known.format) == 0) return known.name;
  }
  return std::string("Arrow format '") + format + "'";
}

bool layout_of(const char* format, Layout& layout) {
  static constexpr struct {
    const char* format;
    Layout layout;
  } kLayouts[] = {{"u", Layout::Offsets32}, {"z", Layout::Offsets32}, {"U", Layout::Offsets64},
                  {"Z", Layout::Offsets64}, {"vu", Layout::Views},    {"vz", Layout::Views},
                  {"n", Layout::Null}};
  if (format == nullptr) return false;
  for (const auto& known : kLayouts) {
    if (std::strcmp(format, known.format) == 0) {
      layout = known.layout;
      return true;
    }
  }
  return false;
}

// Offsets from row `start` for `length` rows: ascending from 0 or more, and
// a data buffer wherever they span any bytes.
template <class Offset>
ColumnFault check_offsets(const void* offsets, const void* data, std::int64_t start,
                          std::int64_t length, std::int64_t& bytes) {
  if (offsets == nullptr) return malformed("missing offsets buffer");
  Offset previous = load<Offset>(offsets, start);
  const Offset first = previous;
  if (first < 0) return malformed("negative offset");
  for (std::int64_t i = start + 1; i <= start + length; ++i) {
    const Offset next = load<Offset>(offsets, i);
    if (next < previous) return malformed("offsets not in ascending order");
    previous = next;
  }
  if (previous != first && data == nullptr) return malformed("missing data buffer");
  bytes += static_cast<std::int64_t>(previous) - first;
  return {};
}

// Every view of a row that is not null: a length of 0 or more, and past 12
// bytes a buffer that exists and holds the whole value.
ColumnFault check_views(const ArrowArray& values, const ColumnChunk& chunk, std::int64_t& bytes) {
  const std::int64_t variadic = values.n_buffers - 3;
  const void* sizes = values.buffers[values.n_buffers - 1];
  if (variadic > 0 && sizes == nullptr) return malformed("missing buffer sizes of string views");
  for (std::int64_t row = 0; row < chunk.length; ++row) {
    if (chunk.is_null(row)) continue;
    const char* view = static_cast<const char*>(chunk.index) + (chunk.offset + row) * kViewBytes;
    const auto size = load<std::int32_t>(view, 0);
    if (size < 0) return malformed("negative string view length");
    bytes += size;
    if (size <= kViewInlineBytes) continue;
    const auto buffer = load<std::int32_t>(view + 8, 0);
    const auto at = load<std::int32_t>(view + 12, 0);
    if (buffer < 0 || buffer >= variadic) return malformed("string view buffer out of range");
    const auto buffer_size = load<std::int64_t>(sizes, buffer);
    if (at < 0 || std::int64_t{at} + size > buffer_size)
      return malformed("string view beyond its buffer");
    if (chunk.variadic[buffer] == nullptr) return malformed("missing string view data buffer");
  }
  return {};
}

}  // namespace

bool ColumnChunk::is_null(std::int64_t row) const noexcept {
  if (layout == Layout::Null) return true;
  if (outer_validity != nullptr && !bit(outer_validity, outer_offset + row)) return true;
  return validity != nullptr && !bit(validity, offset + row);
}

std::string_view ColumnChunk::value(std::int64_t row) const noexcept {
  const std::int64_t at = offset + row;
  std::int64_t begin = 0, end = 0;
  switch (layout) {
    case Layout::Offsets32:
      begin = load<std::int32_t>(index, at);
      end = load<std::int32_t>(index, at + 1);
      break;
    case Layout::Offsets64:
      begin = load<std::int64_t>(index, at);
      end = load<std::int64_t>(index, at + 1);
      break;
    case Layout::Views: {
      const char* view = static_cast<const char*>(index) + at * kViewBytes;
      const auto size = load<std::int32_t>(view, 0);
      if (size <= kViewInlineBytes) return {view + 4, static_cast<std::size_t>(size)};
      const auto buffer = load<std::int32_t>(view + 8, 0);
      const auto from = load<std::int32_t>(view + 12, 0);
      return {variadic[buffer] + from, static_cast<std::size_t>(size)};
    }
    case Layout::Null:
      return {};
  }
  if (end == begin) return {};
  return {data + begin, static_cast<std::size_t>(end - begin)};
}

ColumnFault ArrowColumn::set_schema(ArrowSchema* schema) {
  schema_.adopt(schema);
  const ArrowSchema* type = schema_.get();
  if (type->format != nullptr && std::strcmp(type->format, "+s") == 0) {
    if (type->n_children != 1 || type->children == nullptr || type->children[0] == nullptr) {
      return type_fault("a struct of " + std::to_string(type->n_children) +
                        " fields (pass one of its columns)");
    }
    wrapped_ = true;
    type = type->children[0];
  }
  if (type->dictionary != nullptr) {
    return type_fault("a dictionary of " + type_name(type->dictionary->format) +
                      " (cast it to string first)");
  }
  if (!layout_of(type->format, layout_)) return type_fault(type_name(type->format));
  return {};
}

ColumnFault ArrowColumn::add_array(ArrowArray* array) {
  arrays_.emplace_back();
  arrays_.back().adopt(array);
  const ArrowArray& top = *arrays_.back().get();
  if (top.length < 0 || top.offset < 0 ||
      top.offset > std::numeric_limits<std::int64_t>::max() - top.length) {
    return malformed("negative or overflowing length or offset");
  }
  ColumnChunk chunk;
  chunk.layout = layout_;
  chunk.length = top.length;
  const ArrowArray* values = &top;
  std::int64_t outer_offset = 0;
  if (wrapped_) {
    if (top.n_children != 1 || top.children == nullptr || top.children[0] == nullptr ||
        top.n_buffers < 1 || top.buffers == nullptr) {
      return malformed("struct without its one child");
    }
    if (top.buffers[0] == nullptr && top.null_count > 0)
      return malformed("nulls without a validity bitmap");
    chunk.outer_validity = static_cast<const std::uint8_t*>(top.buffers[0]);
    chunk.outer_offset = top.offset;
    outer_offset = top.offset;
    values = top.children[0];
  }
  if (ColumnFault fault = check_chunk(*values, outer_offset, top.length, chunk)) return fault;
  rows_ += chunk.length;
  chunks_.push_back(chunk);
  return {};
}

ColumnFault ArrowColumn::check_chunk(const ArrowArray& values, std::int64_t outer_offset,
                                     std::int64_t length, ColumnChunk& chunk) {
  if (values.length < 0 || values.offset < 0 || values.length - outer_offset < length ||
      values.offset > std::numeric_limits<std::int64_t>::max() - values.length) {
    return malformed("negative or overflowing length or offset");
  }
  chunk.offset = values.offset + outer_offset;
  if (layout_ == Layout::Null) return {};
  // Views: validity, views, the data buffers, then their sizes.
  const bool buffers_ok = layout_ == Layout::Views ? values.n_buffers >= 3 : values.n_buffers == 3;
  if (!buffers_ok || values.buffers == nullptr) return malformed("wrong number of buffers");
  if (values.buffers[0] == nullptr && values.null_count > 0)
    return malformed("nulls without a validity bitmap");
  chunk.validity = static_cast<const std::uint8_t*>(values.buffers[0]);
  chunk.index = values.buffers[1];
  if (length == 0) return {};
  switch (layout_) {
    case Layout::Offsets32:
    case Layout::Offsets64:
      chunk.data = static_cast<const char*>(values.buffers[2]);
      return layout_ == Layout::Offsets32
                 ? check_offsets<std::int32_t>(chunk.index, chunk.data, chunk.offset, length,
                                               bytes_)
                 : check_offsets<std::int64_t>(chunk.index, chunk.data, chunk.offset, length,
                                               bytes_);
    case Layout::Views:
      if (chunk.index == nullptr) return malformed("missing views buffer");
      chunk.variadic = reinterpret_cast<const char* const*>(values.buffers + 2);
      return check_views(values, chunk, bytes_);
    case Layout::Null:
      break;
  }
  return {};
}

ColumnFault ArrowColumn::read_stream(ArrowArrayStream* s) {
  const auto failed = [s](int code) {
    const char* said = s->get_last_error != nullptr ? s->get_last_error(s) : nullptr;
    return ColumnFault{ColumnFault::Kind::Stream,
                       std::string("reading the Arrow stream failed: ") +
                           (said != nullptr ? said : std::strerror(code)),
                       code};
  };
  ArrowSchema schema{};
  if (const int code = s->get_schema(s, &schema); code != 0) return failed(code);
  if (ColumnFault fault = set_schema(&schema)) return fault;
  for (;;) {
    ArrowArray array{};
    if (const int code = s->get_next(s, &array); code != 0) return failed(code);
    if (array.release == nullptr) return {};  // the end of the stream
    if (ColumnFault fault = add_array(&array)) return fault;
  }
}

}  // namespace quorl::native
