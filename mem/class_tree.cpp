// Treaps over long class lists (see index.h): the same members as the list,
// in label order, so that a member's place in a long class, or the first
// member of at least s bytes, is found in logarithmic time.
//
// Invariants (checked by MemTreeCheck):
// - In-order the treap gives the class list's members, in list order.
// - Every node's priority (a hash of its descriptor offset) is at least its
//   children's, so the shape depends on the members alone.
// - Every node's maxSize is the largest blockSize in its subtree.
//
// The treap has no parent links (a member has room for three words only), so
// every change descends from the root and rebalances on the way back up. The
// depth stays logarithmic with hashed priorities.
#include "mem/index.h"

namespace {

uint32_t PriorityOf(uint32_t ref) {
  uint32_t x = ref * 0x9E3779B9u;
  x ^= x >> 16;
  x *= 0x85EBCA6Bu;
  return x ^ (x >> 13);
}

// A node's words, one at a time (they lie in a free payload, closed to the
// client: see shadow.h).
TreeWords* Node(const Heap* heap, uint32_t ref) {
  return TreeOf(DescAt(heap, ref));
}
uint32_t LeftOf(const Heap* heap, uint32_t ref) {
  return LoadWord(&Node(heap, ref)->left);
}
uint32_t RightOf(const Heap* heap, uint32_t ref) {
  return LoadWord(&Node(heap, ref)->right);
}
void SetLeft(const Heap* heap, uint32_t ref, uint32_t left) {
  StoreWord(&Node(heap, ref)->left, left);
}
void SetRight(const Heap* heap, uint32_t ref, uint32_t right) {
  StoreWord(&Node(heap, ref)->right, right);
}

uint32_t MaxOf(const Heap* heap, uint32_t ref) {
  return ref == 0 ? 0 : LoadWord(&Node(heap, ref)->maxSize);
}

void Refresh(const Heap* heap, uint32_t ref) {
  const uint32_t max = std::max({DescAt(heap, ref)->blockSize, MaxOf(heap, LeftOf(heap, ref)),
                                 MaxOf(heap, RightOf(heap, ref))});
  StoreWord(&Node(heap, ref)->maxSize, max);
}

// Lifts the left (right) child of `ref` above it; returns the new subtree root.
uint32_t RotateRight(const Heap* heap, uint32_t ref) {
  const uint32_t up = LeftOf(heap, ref);
  SetLeft(heap, ref, RightOf(heap, up));
  SetRight(heap, up, ref);
  Refresh(heap, ref);
  Refresh(heap, up);
  return up;
}

uint32_t RotateLeft(const Heap* heap, uint32_t ref) {
  const uint32_t up = RightOf(heap, ref);
  SetRight(heap, ref, LeftOf(heap, up));
  SetLeft(heap, up, ref);
  Refresh(heap, ref);
  Refresh(heap, up);
  return up;
}

uint32_t Insert(const Heap* heap, uint32_t root, uint32_t ref, uint32_t label) {
  if (root == 0) return ref;
  if (label < LabelOf(DescAt(heap, root))) {
    const uint32_t left = Insert(heap, LeftOf(heap, root), ref, label);
    SetLeft(heap, root, left);
    if (PriorityOf(left) > PriorityOf(root)) return RotateRight(heap, root);
  } else {
    const uint32_t right = Insert(heap, RightOf(heap, root), ref, label);
    SetRight(heap, root, right);
    if (PriorityOf(right) > PriorityOf(root)) return RotateLeft(heap, root);
  }
  Refresh(heap, root);
  return root;
}

// Joins two treaps, every label of `a` under every label of `b`.
uint32_t Merge(const Heap* heap, uint32_t a, uint32_t b) {
  if (a == 0) return b;
  if (b == 0) return a;
  if (PriorityOf(a) > PriorityOf(b)) {
    SetRight(heap, a, Merge(heap, RightOf(heap, a), b));
    Refresh(heap, a);
    return a;
  }
  SetLeft(heap, b, Merge(heap, a, LeftOf(heap, b)));
  Refresh(heap, b);
  return b;
}

uint32_t Remove(const Heap* heap, uint32_t root, uint32_t ref, uint32_t label) {
  if (root == ref) return Merge(heap, LeftOf(heap, root), RightOf(heap, root));
  if (label < LabelOf(DescAt(heap, root))) {
    SetLeft(heap, root, Remove(heap, LeftOf(heap, root), ref, label));
  } else {
    SetRight(heap, root, Remove(heap, RightOf(heap, root), ref, label));
  }
  Refresh(heap, root);
  return root;
}

void Resized(const Heap* heap, uint32_t root, uint32_t ref, uint32_t label) {
  if (root != ref) {
    const bool left = label < LabelOf(DescAt(heap, root));
    Resized(heap, left ? LeftOf(heap, root) : RightOf(heap, root), ref, label);
  }
  Refresh(heap, root);
}

// The checker's walk: in-order against the list, with bounded depth.
struct TreeCheck {
  const Heap* heap;
  bool (*valid)(const Heap*, uint32_t);
  uint32_t next;  // the list member the next node must be
  uint32_t seen;
  uint32_t count;

  // The subtree's largest size, or 0 when it is not right.
  uint32_t Walk(uint32_t ref, uint32_t parentPriority, int depth) {
    if (ref == 0) return 1;  // an empty subtree: right, holding nothing
    if (depth > 256 || !valid(heap, ref) || PriorityOf(ref) > parentPriority) return 0;
    const TreeWords n = LoadTree(DescAt(heap, ref));
    const uint32_t left = Walk(n.left, PriorityOf(ref), depth + 1);
    if (left == 0 || ref != next || ++seen > count) return 0;
    next = NextOf(DescAt(heap, ref));
    const uint32_t right = Walk(n.right, PriorityOf(ref), depth + 1);
    const uint32_t size = DescAt(heap, ref)->blockSize;
    const uint32_t max = std::max({size, left, right});
    return right != 0 && n.maxSize == max ? max : 0;
  }
};

}  // namespace

uint32_t MemTreeBuild(const Heap* heap, const BlockDesc* head) {
  uint32_t root = 0;
  for (const BlockDesc* d = head; d != nullptr; d = DescOrNull(heap, NextOf(d)))
    root = MemTreeInsert(heap, root, const_cast<BlockDesc*>(d));
  return root;
}

uint32_t MemTreeInsert(const Heap* heap, uint32_t root, BlockDesc* d) {
  StoreTree(d, TreeWords{0, 0, d->blockSize});
  return Insert(heap, root, RefOf(heap, d), LabelOf(d));
}

uint32_t MemTreeRemove(const Heap* heap, uint32_t root, const BlockDesc* d) {
  return Remove(heap, root, RefOf(heap, d), LabelOf(d));
}

void MemTreeResized(const Heap* heap, uint32_t root, const BlockDesc* d) {
  Resized(heap, root, RefOf(heap, d), LabelOf(d));
}

BlockDesc* MemTreeBefore(const Heap* heap, uint32_t root, uint32_t label) {
  uint32_t best = 0;
  while (root != 0) {
    if (LabelOf(DescAt(heap, root)) < label) {
      best = root;
      root = RightOf(heap, root);
    } else {
      root = LeftOf(heap, root);
    }
  }
  return DescOrNull(heap, best);
}

BlockDesc* MemTreeFirstFit(const Heap* heap, uint32_t root, uint32_t size) {
  if (MaxOf(heap, root) < size) return nullptr;
  for (;;) {
    const TreeWords n = LoadTree(DescAt(heap, root));
    if (MaxOf(heap, n.left) >= size) {
      root = n.left;
    } else if (DescAt(heap, root)->blockSize >= size) {
      return DescAt(heap, root);
    } else {
      root = n.right;
    }
  }
}

bool MemTreeCheck(const Heap* heap, uint32_t root, const BlockDesc* head, uint32_t count,
                  bool (*valid)(const Heap*, uint32_t ref)) {
  TreeCheck check{heap, valid, RefOrNone(heap, head), 0, count};
  const uint32_t max = check.Walk(root, ~0u, 0);
  return max != 0 && check.seen == count && check.next == 0;
}
