// The free-block index: a treap over the free chain's large blocks, kept in
// chain order, so that "the first block in chain order that is large
// enough" takes O(log n) instead of a walk of the chain.
//
// - Members are exactly the chain's blocks of at least kIndexMinSize bytes;
//   smaller ones never satisfy a search of that size and stay chain-only.
// - A member's node lives in its own free payload, right at `data`, just
//   after the owner word that leads back to the descriptor. Nodes link to
//   each other by their offset from the heap header (0: none), so a search
//   touches one node per level and nothing else.
// - In-order (left, node, right) is the members' order in the chain; each
//   node knows its block's size and the largest size in either subtree; a
//   parent's priority (a hash of its descriptor's address) is at least its
//   children's.
// - The root's descriptor is kept in the prevFree slot of the heap's first
//   block, the initial pool, which is never free.
// - Compaction suspends the index and rebuilds it in one pass at its end.
#include "mem/internal.h"

namespace {

bool memIndexSuspended = false;

IndexNode* NodeAt(const Heap* heap, uint32_t ref) {
  if (ref == 0) return nullptr;
  return reinterpret_cast<IndexNode*>(reinterpret_cast<uintptr_t>(heap) + ref);
}

uint32_t RefOf(const Heap* heap, const IndexNode* n) {
  if (n == nullptr) return 0;
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(n) - reinterpret_cast<uintptr_t>(heap));
}

IndexNode* NodeOf(const BlockDesc* d) {
  return static_cast<IndexNode*>(d->data);
}
BlockDesc* DescOf(const IndexNode* n) {
  return ReadOwner(n);
}
uint32_t Priority(const IndexNode* n) {
  return MemIndexPriority(DescOf(n));
}

uint32_t MaxOf(const IndexNode* n) {
  return n == nullptr ? 0 : std::max(n->size, std::max(n->leftMax, n->rightMax));
}

IndexNode* Root(const Heap* heap) {
  BlockDesc* d = heap->firstBlock->prevFree;
  return d == nullptr ? nullptr : NodeOf(d);
}

void SetRoot(Heap* heap, const IndexNode* n) {
  heap->firstBlock->prevFree = n == nullptr ? nullptr : DescOf(n);
}

IndexNode* Left(const Heap* heap, const IndexNode* n) {
  return NodeAt(heap, n->left);
}
IndexNode* Right(const Heap* heap, const IndexNode* n) {
  return NodeAt(heap, n->right);
}
IndexNode* Parent(const Heap* heap, const IndexNode* n) {
  return NodeAt(heap, n->parent);
}

void Refresh(const Heap* heap, IndexNode* n) {
  n->leftMax = MaxOf(Left(heap, n));
  n->rightMax = MaxOf(Right(heap, n));
}

// Refreshes the subtree sizes from `n` up, as far as they change.
void UpdatePath(const Heap* heap, IndexNode* n) {
  while (n != nullptr) {
    uint32_t before = MaxOf(n);
    Refresh(heap, n);
    IndexNode* parent = Parent(heap, n);
    if (MaxOf(n) == before && parent != nullptr) {
      uint32_t seen = parent->left == RefOf(heap, n) ? parent->leftMax : parent->rightMax;
      if (seen == before) return;
    }
    n = parent;
  }
}

// Makes the link that led to `from` (from `parent`, or the root) lead to `to`.
void Relink(Heap* heap, IndexNode* parent, uint32_t from, IndexNode* to) {
  if (to != nullptr) to->parent = RefOf(heap, parent);
  if (parent == nullptr) {
    SetRoot(heap, to);
  } else if (parent->left == from) {
    parent->left = RefOf(heap, to);
  } else {
    parent->right = RefOf(heap, to);
  }
}

// Lifts `x` above its parent, keeping the in-order sequence.
void RotateUp(Heap* heap, IndexNode* x) {
  IndexNode* p = Parent(heap, x);
  Relink(heap, Parent(heap, p), RefOf(heap, p), x);
  uint32_t& toX = p->left == RefOf(heap, x) ? p->left : p->right;
  uint32_t& inner = &toX == &p->left ? x->right : x->left;
  toX = inner;
  if (IndexNode* moved = NodeAt(heap, inner)) moved->parent = RefOf(heap, p);
  inner = RefOf(heap, p);
  p->parent = RefOf(heap, x);
  Refresh(heap, p);
  Refresh(heap, x);
}

IndexNode* Extreme(const Heap* heap, IndexNode* n, bool rightmost) {
  while (n != nullptr) {
    IndexNode* next = rightmost ? Right(heap, n) : Left(heap, n);
    if (next == nullptr) break;
    n = next;
  }
  return n;
}

// Hangs member `d`'s fresh node below `parent`, then restores heap order.
void Attach(Heap* heap, BlockDesc* d, IndexNode* parent, bool asLeft) {
  IndexNode* x = NodeOf(d);
  const auto size = static_cast<uint32_t>(d->blockSize);
  *x = IndexNode{0, 0, RefOf(heap, parent), size, 0, 0};
  if (parent == nullptr) return SetRoot(heap, x);
  (asLeft ? parent->left : parent->right) = RefOf(heap, x);
  for (IndexNode *child = x, *a = parent; a != nullptr; child = a, a = Parent(heap, a)) {
    uint32_t& seen = a->left == RefOf(heap, child) ? a->leftMax : a->rightMax;
    if (seen >= size) break;
    seen = size;
  }
  while (Parent(heap, x) != nullptr && Priority(Parent(heap, x)) < Priority(x))
    RotateUp(heap, x);
}

void InsertAfter(Heap* heap, BlockDesc* d, IndexNode* p) {
  IndexNode* right = Right(heap, p);
  if (right == nullptr) return Attach(heap, d, p, false);
  Attach(heap, d, Extreme(heap, right, false), true);
}

}  // namespace

uint32_t MemIndexPriority(const BlockDesc* d) {
  uint64_t x = reinterpret_cast<uintptr_t>(d);
  x ^= x >> 31;
  x *= 0x9E3779B97F4A7C15u;
  return static_cast<uint32_t>(x >> 32);
}

BlockDesc* MemIndexFirstFit(const Heap* heap, MemWord size) {
  IndexNode* n = Root(heap);
  if (MaxOf(n) < size) return nullptr;
  for (;;) {
    if (n->leftMax >= size) {
      n = Left(heap, n);
    } else if (n->size >= size) {
      return DescOf(n);
    } else {
      n = Right(heap, n);
    }
  }
}

BlockDesc* MemIndexLast(const Heap* heap) {
  IndexNode* n = Extreme(heap, Root(heap), true);
  return n == nullptr ? nullptr : DescOf(n);
}

void MemIndexInsertBefore(Heap* heap, BlockDesc* d, BlockDesc* at) {
  if (memIndexSuspended) return;
  if (at == nullptr) return Attach(heap, d, Extreme(heap, Root(heap), true), false);
  IndexNode* left = Left(heap, NodeOf(at));
  if (left == nullptr) return Attach(heap, d, NodeOf(at), true);
  Attach(heap, d, Extreme(heap, left, true), false);
}

void MemIndexInsertInPlace(Heap* heap, BlockDesc* d) {
  if (memIndexSuspended) return;
  // The nearest members before and after d in the chain, whichever is found
  // first; small blocks between them are few, as they gather at the head.
  BlockDesc* after = d->nextFree;
  BlockDesc* before = d->prevFree;
  while (after != nullptr || before != nullptr) {
    if (after != nullptr) {
      if (IsIndexed(after->blockSize)) return MemIndexInsertBefore(heap, d, after);
      after = after->nextFree;
    }
    if (before != nullptr) {
      if (IsIndexed(before->blockSize)) return InsertAfter(heap, d, NodeOf(before));
      before = before->prevFree;
    }
  }
  Attach(heap, d, nullptr, false);
}

void MemIndexRemove(Heap* heap, BlockDesc* d) {
  if (memIndexSuspended) return;
  IndexNode* x = NodeOf(d);
  for (;;) {
    IndexNode* left = Left(heap, x);
    IndexNode* right = Right(heap, x);
    if (left == nullptr || right == nullptr) {
      IndexNode* parent = Parent(heap, x);
      Relink(heap, parent, RefOf(heap, x), left != nullptr ? left : right);
      UpdatePath(heap, parent);
      return;
    }
    RotateUp(heap, Priority(left) > Priority(right) ? left : right);
  }
}

void MemIndexResized(Heap* heap, BlockDesc* d) {
  if (memIndexSuspended) return;
  NodeOf(d)->size = static_cast<uint32_t>(d->blockSize);
  UpdatePath(heap, NodeOf(d));
}

void MemIndexMoved(Heap* heap, BlockDesc* d, const void* oldData, const IndexNode& content) {
  if (memIndexSuspended) return;
  IndexNode* x = NodeOf(d);
  *x = content;
  const uint32_t oldRef = RefOf(heap, static_cast<const IndexNode*>(oldData));
  if (IndexNode* parent = Parent(heap, x)) {
    (parent->left == oldRef ? parent->left : parent->right) = RefOf(heap, x);
  }
  if (IndexNode* left = Left(heap, x)) left->parent = RefOf(heap, x);
  if (IndexNode* right = Right(heap, x)) right->parent = RefOf(heap, x);
}

void MemIndexSuspend(Heap* heap) {
  memIndexSuspended = true;
  SetRoot(heap, nullptr);
}

// Builds the treap of the chain's members in one pass: the right spine is
// kept through the parent links, and a node's subtree is final when it
// leaves the spine.
void MemIndexRebuild(Heap* heap) {
  memIndexSuspended = false;
  IndexNode* spine = nullptr;  // the lowest node of the right spine
  for (BlockDesc* d = heap->freeBlocks; d != nullptr; d = d->nextFree) {
    if (!IsIndexed(d->blockSize)) continue;
    IndexNode* x = NodeOf(d);
    *x = IndexNode{0, 0, 0, static_cast<uint32_t>(d->blockSize), 0, 0};
    IndexNode* last = nullptr;
    while (spine != nullptr && Priority(spine) < Priority(x)) {
      spine->rightMax = MaxOf(Right(heap, spine));
      last = spine;
      spine = Parent(heap, spine);
    }
    x->left = RefOf(heap, last);
    x->leftMax = MaxOf(last);
    if (last != nullptr) last->parent = RefOf(heap, x);
    x->parent = RefOf(heap, spine);
    if (spine != nullptr) spine->right = RefOf(heap, x);
    spine = x;
  }
  IndexNode* root = nullptr;
  for (; spine != nullptr; spine = Parent(heap, spine)) {
    spine->rightMax = MaxOf(Right(heap, spine));
    root = spine;
  }
  SetRoot(heap, root);
}

BlockDesc* MemIndexRoot(const Heap* heap) {
  return heap->firstBlock->prevFree;
}

uint32_t MemIndexRef(const Heap* heap, const IndexNode* n) {
  return RefOf(heap, n);
}

bool MemIndexIsSuspended() {
  return memIndexSuspended;
}

IndexNode* MemIndexNodeAt(const Heap* heap, uint32_t ref) {
  return NodeAt(heap, ref);
}
