// Taking apart a tree of nested containers without recursion, for the
// reader's tree and the decoder's value alike: elements are destroyed from
// the back; one that holds containers is descended into first, its parent
// kept on a heap stack meanwhile; a flat one (known to hold no containers
// with children) has its children cleared at once. No destructor then goes
// more than one level down, whatever the nesting.
#pragma once

#include <vector>

namespace quorl {

// Children is a small handle on a container that has children, with
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
