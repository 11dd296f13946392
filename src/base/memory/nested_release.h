// Taking apart a tree of nested containers without recursion, for the
// reader's tree and the decoder's value alike: elements are destroyed from
// the back; one that holds containers is descended into first, its parent
// kept on a heap stack meanwhile; a flat one (known to hold no containers
// with children) has its children cleared at once. No destructor then goes
// more than one level down, whatever the nesting.
#pragma once

#include <variant>
#include <vector>

namespace quorl {

// The handle below for a tree whose nodes hold a std::variant (the member
// kVariant of Node) with an array alternative (its `items`) and an object
// alternative (its member list kMembers, each member with a `value`), both
// with a `flat` mark.
template <class Node, class Array, class Object, auto kVariant, auto kMembers>
struct ContainerChildren {
  Array* array = nullptr;  // exactly one of the two is set
  Object* object = nullptr;

  static bool of(Node& node, ContainerChildren& out) noexcept {
    auto& alternatives = node.*kVariant;
    if (auto* a = std::get_if<Array>(&alternatives); a != nullptr && !a->items.empty()) {
      out = {a, nullptr};
      return true;
    }
    if (auto* o = std::get_if<Object>(&alternatives); o != nullptr && !(o->*kMembers).empty()) {
      out = {nullptr, o};
      return true;
    }
    return false;
  }
  Node* last() const noexcept {
    if (array != nullptr) return array->items.empty() ? nullptr : &array->items.back();
    return (object->*kMembers).empty() ? nullptr : &(object->*kMembers).back().value;
  }
  bool flat() const noexcept { return array != nullptr ? array->flat : object->flat; }
  void clear() const noexcept {
    if (array != nullptr) {
      array->items.clear();
    } else {
      (object->*kMembers).clear();
    }
  }
  void pop_last() const noexcept {
    if (array != nullptr) {
      array->items.pop_back();
    } else {
      (object->*kMembers).pop_back();
    }
  }
};

// Children is a small handle on a container that has children (such as
// ContainerChildren above), with
//   static bool of(Node&, Children&)  - the node's container, if it has any;
//   Node* last()                      - its last child, or null when empty;
//   bool flat()                       - whether its children hold no others;
//   void clear(), void pop_last().
template <class Children>
void release_nested(Children c) {
  std::vector<Children> open;
  for (;;) {
    auto* last = c.last();
    if (last == nullptr) {
      if (open.empty()) return;
      c = open.back();
      open.pop_back();
      continue;
    }
    if (Children below; Children::of(*last, below)) {
      if (below.flat()) {
        below.clear();
      } else {
        open.push_back(c);
        c = below;
        continue;
      }
    }
    c.pop_last();
  }
}

}  // namespace quorl
