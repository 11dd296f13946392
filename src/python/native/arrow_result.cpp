#include "native/arrow_result.h"

#include <utility>

namespace quorl::native {

ResultBytes::ResultBytes(std::size_t size)
    // Never null, even when empty: consumers may read a data pointer of an
    // empty column.
    : raw_(new char[size == 0 ? 1 : size]), data_(raw_.get()), size_(size) {}

ResultBytes::ResultBytes(std::string&& text) noexcept
    : text_(std::move(text)), data_(text_.data()), size_(text_.size()) {}

namespace {

constexpr std::size_t kChildren = 2;

// What each exported struct keeps alive: the names it points to, or the
// result's buffers, and the children it points to.
struct SchemaNode {
  std::string format, name;
  ArrowSchema child_structs[kChildren];
  ArrowSchema* children[kChildren];
};

struct ArrayNode {
  std::shared_ptr<const ResultColumn> keep;
  const void* buffers[3];
  ArrowArray child_structs[kChildren];
  ArrowArray* children[kChildren];
};

// A consumer may have moved a child out (and marked ours released): only
// children still here are released with their parent.
template <class Struct, class Node>
void release_node(Struct* self) {
  for (std::int64_t i = 0; i < self->n_children; ++i) {
    Struct* child = self->children[i];
    if (child->release != nullptr) child->release(child);
  }
  delete static_cast<Node*>(self->private_data);
  self->release = nullptr;
}

void release_schema(ArrowSchema* schema) {
  release_node<ArrowSchema, SchemaNode>(schema);
}
void release_array(ArrowArray* array) {
  release_node<ArrowArray, ArrayNode>(array);
}

// The node is made first and the struct marked live at once, children
// counted as they are filled, so that a failure part way releases what
// was made.
void fill_schema(ArrowSchema* out, std::string format, std::string name) {
  auto node = std::make_unique<SchemaNode>();
  node->format = std::move(format);
  node->name = std::move(name);
  for (std::size_t i = 0; i < kChildren; ++i) node->children[i] = &node->child_structs[i];
  *out = ArrowSchema{};
  out->format = node->format.c_str();
  out->name = node->name.c_str();
  out->flags = ARROW_FLAG_NULLABLE;
  out->children = node->children;
  out->release = release_schema;
  out->private_data = node.release();
}

void fill_array(ArrowArray* out, const std::shared_ptr<const ResultColumn>& result,
                const ResultChild* child) {
  auto node = std::make_unique<ArrayNode>();
  node->keep = result;
  for (std::size_t i = 0; i < kChildren; ++i) node->children[i] = &node->child_structs[i];
  std::size_t n = 0;
  if (child == nullptr) {
    node->buffers[n++] = nullptr;  // every row of the struct is valid
  } else {
    node->buffers[n++] = child->validity.empty() ? nullptr : child->validity.data();
    if (child->has_offsets) node->buffers[n++] = child->offsets.data();
    node->buffers[n++] = child->data.data();
  }
  *out = ArrowArray{};
  out->length = result->length;
  out->null_count = child == nullptr ? 0 : child->null_count;
  out->n_buffers = static_cast<std::int64_t>(n);
  out->buffers = node->buffers;
  out->children = node->children;
  out->release = release_array;
  out->private_data = node.release();
}

}  // namespace

void export_result(const std::shared_ptr<const ResultColumn>& result, ArrowSchema* schema,
                   ArrowArray* array) {
  fill_schema(schema, "+s", "");
  fill_array(array, result, nullptr);
  try {
    for (std::size_t i = 0; i < kChildren; ++i) {
      const ResultChild& child = result->children[i];
      fill_schema(schema->children[i], child.format, child.name);
      ++schema->n_children;
      fill_array(array->children[i], result, &child);
      ++array->n_children;
    }
  } catch (...) {
    schema->release(schema);
    array->release(array);
    throw;
  }
}

}  // namespace quorl::native
