// The heap walker: checks every invariant of a heap (see internal.h) and
// gathers its statistics. It bounds-checks every address against the region
// before reading through it, so a corrupted heap yields a code, not a crash.
#include "mem/internal.h"

namespace {

// Candidate pool blocks: flagged 0x9000 with the size of a pool. A locked
// client block can look the same; only blocks that hold descriptors count.
constexpr uint32_t kMaxPools = 1024;

struct Walk {
  const Heap* heap;
  uintptr_t lo;  // the header
  uintptr_t hi;  // the region's last byte
  MemWord poolBytes;
  uint32_t pools = 0;
  bool poolsComplete = true;  // false when there were more than kMaxPools
  uintptr_t poolData[kMaxPools];
  uint32_t poolDescs[kMaxPools];
  uint32_t listFree = 0;
  uint64_t listFreeBytes = 0;
  uint32_t descsInList = 0;
};

uintptr_t Addr(const void* p) {
  return reinterpret_cast<uintptr_t>(p);
}

bool InRegion(const Walk& w, uintptr_t at, uintptr_t size) {
  return at >= w.lo && at <= w.hi && w.hi - at >= size - 1;
}

// A readable descriptor with the master tag: 0, 0x4607 or 0x460E.
ErrCode CheckDesc(const Walk& w, const BlockDesc* d) {
  if (!InRegion(w, Addr(d), sizeof(BlockDesc)) || Addr(d) % alignof(BlockDesc) != 0) {
    return errMemInvalidHandle;
  }
  return d->tag == kMasterTag ? errNone : errMemBadMasterTag;
}

// Counts `d` against the pool block that holds it; 0x4607 when none does.
ErrCode CountInPool(Walk& w, const BlockDesc* d) {
  if (!w.poolsComplete) return errNone;
  uint32_t lo = 0;
  uint32_t hi = w.pools;  // find the last pool starting at or below d
  while (lo < hi) {
    uint32_t mid = (lo + hi) / 2;
    if (w.poolData[mid] <= Addr(d)) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  if (lo == 0) return errMemInvalidHandle;
  uintptr_t offset = Addr(d) - w.poolData[lo - 1];
  if (offset >= w.poolBytes || offset % sizeof(BlockDesc) != 0) return errMemInvalidHandle;
  ++w.poolDescs[lo - 1];
  return errNone;
}

void NotePool(Walk& w, const BlockDesc* d) {
  if (d->flags != memFlagPool || d->requestedSize != w.poolBytes) return;
  if (w.pools == kMaxPools) {
    w.poolsComplete = false;
    return;
  }
  w.poolData[w.pools] = Addr(d->data);
  w.poolDescs[w.pools++] = 0;
}

// The free-chain links of free block `d` agree with its neighbours.
bool ChainLinksAgree(const Walk& w, const BlockDesc* d) {
  const BlockDesc* p = d->prevFree;
  const BlockDesc* n = d->nextFree;
  if (p == nullptr ? w.heap->freeBlocks != d : (CheckDesc(w, p) || p->nextFree != d)) return false;
  return n == nullptr || (!CheckDesc(w, n) && n->prevFree == d);
}

// One block after the first: placed right at `end`, owner word, flags.
ErrCode CheckBlock(Walk& w, const BlockDesc* d, const BlockDesc* prev, uintptr_t end) {
  if (ErrCode err = CheckDesc(w, d)) return err;
  if (IsSpare(d) || d->prev != prev) return errMemInvalidHandle;
  uintptr_t start = Addr(d->data) - kOwnerSize;
  if (start != end || d->blockSize < kOwnerSize || !InRegion(w, start, d->blockSize)) {
    return errMemBadHeap;
  }
  if (start % kOwnerSize != 0 && d->next != nullptr) return errMemBadHeap;
  if (ReadOwner(d->data) != d) return errMemBadOwner;
  if (IsFree(d)) {
    if (!ChainLinksAgree(w, d)) return errMemInvalidHandle;
    ++w.listFree;
    w.listFreeBytes += d->blockSize;
  } else if (!IsInUse(d)) {
    return errMemInvalidHandle;
  }
  NotePool(w, d);
  return errNone;
}

// The block list: the initial pool first, then every block gap-free to the
// region's last byte.
ErrCode CheckList(Walk& w) {
  const BlockDesc* first = w.heap->firstBlock;
  if (ErrCode err = CheckDesc(w, first)) return err;
  if (first->data != w.heap + 1 || first->flags != memFlagPool || first->prev != nullptr ||
      first->blockSize != w.poolBytes) {
    return errMemBadHeap;
  }
  NotePool(w, first);
  w.descsInList = 1;
  uintptr_t end = Addr(first->data) + first->blockSize;
  for (const BlockDesc *d = first->next, *prev = first; d != nullptr; prev = d, d = d->next) {
    if (ErrCode err = CheckBlock(w, d, prev, end)) return err;
    end += d->blockSize;
    ++w.descsInList;
  }
  return end == w.hi ? errNone : errMemBadHeap;
}

// Every descriptor in the list or on the spare stack lies in a pool, and
// every pool's entries are all accounted for.
ErrCode CheckDescriptors(Walk& w) {
  for (const BlockDesc* d = w.heap->firstBlock; d != nullptr; d = d->next) {
    if (ErrCode err = CountInPool(w, d)) return err;
  }
  uint64_t bound = (w.hi - w.lo) / sizeof(BlockDesc);
  uint64_t spares = 0;
  for (const BlockDesc *d = w.heap->freeMasters, *prev = nullptr; d != nullptr;
       prev = d, d = d->next) {
    if (ErrCode err = CheckDesc(w, d)) return err;
    if (!IsSpare(d) || d->prev != prev || ++spares > bound) return errMemInvalidHandle;
    if (ErrCode err = CountInPool(w, d)) return err;
  }
  for (uint32_t i = 0; w.poolsComplete && i < w.pools; ++i) {
    if (w.poolDescs[i] != 0 && w.poolDescs[i] != w.heap->masterCount) return errMemInvalidHandle;
  }
  return errNone;
}

// The chain holds exactly the free blocks of the list, and freeBytes their
// total size.
ErrCode CheckChain(const Walk& w) {
  uint32_t members = 0;
  uint64_t bytes = 0;
  for (const BlockDesc* d = w.heap->freeBlocks; d != nullptr; d = d->nextFree) {
    if (ErrCode err = CheckDesc(w, d)) return err;
    if (!IsFree(d) || IsSpare(d) || ++members > w.listFree) return errMemInvalidHandle;
    bytes += d->blockSize;
  }
  if (members != w.listFree || bytes != w.listFreeBytes) return errMemInvalidHandle;
  return w.heap->freeBytes == w.listFreeBytes ? errNone : errMemBadHeap;
}

// A node named by an index link, checked before it is read: inside the
// region, in the payload of a free block of index size that names it back.
// NULL for no link, kBadLink for a link that fails.
const IndexNode* const kBadLink = reinterpret_cast<const IndexNode*>(alignof(IndexNode));

const IndexNode* Follow(const Walk& w, uint32_t ref) {
  if (ref == 0) return nullptr;
  const IndexNode* n = MemIndexNodeAt(w.heap, ref);
  if (!InRegion(w, Addr(n) - kOwnerSize, kOwnerSize + sizeof(IndexNode)) ||
      Addr(n) % alignof(IndexNode) != 0) {
    return kBadLink;
  }
  const BlockDesc* d = ReadOwner(n);
  if (CheckDesc(w, d) || d->data != n || !IsFree(d) || !IsIndexed(d->blockSize) ||
      n->size != d->blockSize) {
    return kBadLink;
  }
  return n;
}

uint32_t MaxOf(const IndexNode* n) {
  return std::max(n->size, std::max(n->leftMax, n->rightMax));
}

const BlockDesc* NextMember(const BlockDesc* d) {
  while (d != nullptr && !IsIndexed(d->blockSize))
    d = d->nextFree;
  return d;
}

// One node: its children name it as parent, sit no higher in priority, and
// its recorded subtree sizes are right.
bool NodeAgrees(const Walk& w, const IndexNode* n) {
  const uint32_t self = MemIndexRef(w.heap, n);
  const uint32_t prio = MemIndexPriority(ReadOwner(n));
  for (bool left : {true, false}) {
    const IndexNode* c = Follow(w, left ? n->left : n->right);
    if (c == kBadLink) return false;
    if (c != nullptr && (c->parent != self || MemIndexPriority(ReadOwner(c)) > prio)) return false;
    if ((left ? n->leftMax : n->rightMax) != (c == nullptr ? 0 : MaxOf(c))) return false;
  }
  return true;
}

// Bounded moves through the index: every step counts against `budget`, so a
// corrupted index with a cycle ends in kBadLink.
struct IndexWalk {
  const Walk& w;
  uint64_t budget;

  const IndexNode* Step(uint32_t ref) {
    if (budget == 0) return kBadLink;
    --budget;
    return Follow(w, ref);
  }

  const IndexNode* Leftmost(const IndexNode* n) {
    for (;;) {
      const IndexNode* left = Step(n->left);
      if (left == nullptr) return n;
      if (left == kBadLink) return kBadLink;
      n = left;
    }
  }

  // The right subtree's leftmost, or the first ancestor reached from its left.
  const IndexNode* Successor(const IndexNode* n) {
    const IndexNode* right = Step(n->right);
    if (right != nullptr) return right == kBadLink ? kBadLink : Leftmost(right);
    for (;;) {
      const IndexNode* parent = Step(n->parent);
      if (parent == nullptr || parent == kBadLink) return parent;
      if (parent->left == MemIndexRef(w.heap, n)) return parent;
      n = parent;
    }
  }
};

// The index holds exactly the chain's blocks of index size, in chain order.
ErrCode CheckIndex(const Walk& w) {
  IndexWalk walk{w, 4 * uint64_t{w.listFree} + 4};
  const IndexNode* n = nullptr;
  if (const BlockDesc* root = MemIndexRoot(w.heap)) {
    if (CheckDesc(w, root)) return errMemInvalidHandle;
    n = walk.Step(MemIndexRef(w.heap, static_cast<const IndexNode*>(root->data)));
    if (n == kBadLink || n->parent != 0) return errMemInvalidHandle;
    n = walk.Leftmost(n);
  }
  const BlockDesc* member = NextMember(w.heap->freeBlocks);
  for (; n != nullptr; n = walk.Successor(n)) {
    if (n == kBadLink || member == nullptr || member->data != n || !NodeAgrees(w, n)) {
      return errMemInvalidHandle;
    }
    member = NextMember(member->nextFree);
  }
  return member == nullptr ? errNone : errMemInvalidHandle;
}

const Heap* HeapOrCurrent(Heap* heap) {
  return heap != nullptr ? heap : memCurrentHeap;
}

// Large, so not on the stack; at namespace scope, since a function-local
// static would need the C++ runtime's guard. One thread uses the manager.
Walk checkWalk;

}  // namespace

ErrCode MemCheckHeap(Heap* heapArg) {
  const Heap* heap = HeapOrCurrent(heapArg);
  if (heap == nullptr) return errMemNotStarted;
  if (heap->magic != kHeapMagic || Addr(heap->limit) <= Addr(heap)) return errMemBadHeap;
  Walk& w = checkWalk;
  w = Walk{};
  w.heap = heap;
  w.lo = Addr(heap);
  w.hi = Addr(heap->limit);
  w.poolBytes = MemWord{heap->masterCount} * sizeof(BlockDesc);
  if (ErrCode err = CheckList(w)) return err;
  if (ErrCode err = CheckDescriptors(w)) return err;
  if (ErrCode err = CheckChain(w)) return err;
  return CheckIndex(w);
}

ErrCode MemGetHeapInfo(Heap* heapArg, MemHeapInfo* out) {
  if (out == nullptr) return errNilPointer;
  const Heap* heap = HeapOrCurrent(heapArg);
  if (heap == nullptr) return errMemNotStarted;
  if (heap->magic != kHeapMagic) return errMemBadHeap;
  MemHeapInfo info{};
  uint32_t locked = 0;
  for (const BlockDesc* d = heap->firstBlock; d != nullptr; d = d->next) {
    ++info.descsInUse;
    if (IsFree(d)) {
      ++info.blocksFree;
      info.freeBytes += static_cast<uint32_t>(d->blockSize);
      if (d->blockSize > info.largestFree) info.largestFree = static_cast<uint32_t>(d->blockSize);
    } else {
      ++info.blocksInUse;
      if (IsLocked(d)) ++locked;
    }
  }
  for (const BlockDesc* d = heap->freeMasters; d != nullptr; d = d->next)
    ++info.descsSpare;
  // Every pool entry is in the list or spare, and every pool block is locked:
  // the counts of pools follow from the descriptors.
  uint32_t pools = (info.descsInUse + info.descsSpare) / heap->masterCount;
  info.poolExtensions = pools - 1;
  info.blocksInUse -= pools;
  info.blocksLocked = locked - pools;
  info.compactions = memCompactions;
  info.purgeCalls = memPurgeCalls;
  *out = info;
  return errNone;
}
