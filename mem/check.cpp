// The heap walker: checks every invariant of a heap (see internal.h) and
// gathers its statistics. It bounds-checks every address against the region
// before reading through it, so a corrupted heap yields a code, not a crash.
#include "mem/index.h"

using namespace okr_mem;

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
  // The chain's members class by class: how many, and a sum of a hash of
  // their descriptors, which each class list must reproduce.
  uint32_t classMembers[kClassCount];
  uint64_t classHash[kClassCount];
};

// Large, so not on the stack; at namespace scope, since a function-local
// static would need the C++ runtime's guard. One thread uses the manager.
Walk checkWalk;

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
  // The tag is read unwatched: a damaged link may point at closed bytes.
  return LoadWord(&d->tag) == kMasterTag ? errNone : errMemBadMasterTag;
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

uint64_t HashOf(uint32_t ref) {
  uint64_t x = ref * 0x9E3779B97F4A7C15u;
  return x ^ (x >> 29);
}

// Pass over the chain: keys ascend, the tail is the last block, each class's
// members are counted and hashed, and the label groups run as the table
// says (see CheckGroups).
ErrCode CheckChainLabels(Walk& w, const MemIndex* idx) {
  OrderKey last = 0;
  uint32_t members = 0;
  const BlockDesc* end = nullptr;
  uint32_t group = 0, inGroup = 0;  // the group of the members last met, and how many
  for (const BlockDesc* d = w.heap->freeBlocks; d != nullptr; end = d, d = d->nextFree) {
    if (!IsMemberSize(d->blockSize)) continue;
    const uint32_t label = LabelOf(d);
    const uint32_t g = GroupOf(label);
    if (g == 0 || g >= kGroupCount || PlaceOf(label) == 0 || PlaceOf(label) == kPlaceEnd) {
      return errMemInvalidHandle;
    }
    if (g != group) {
      if (group != 0 && (idx->groups[group].count != inGroup || idx->groups[group].next != g ||
                         idx->groups[g].prev != group)) {
        return errMemInvalidHandle;
      }
      if (group == 0 && idx->groups[g].prev != 0) return errMemInvalidHandle;
      group = g;
      inGroup = 0;
    }
    ++inGroup;
    const OrderKey key = KeyOfLabel(idx, label);
    if (members != 0 && key <= last) return errMemInvalidHandle;
    last = key;
    const uint32_t c = ClassOf(d->blockSize);
    ++w.classMembers[c];
    w.classHash[c] += HashOf(RefOf(w.heap, d));
    ++members;
  }
  if (group != 0 && (idx->groups[group].count != inGroup || idx->groups[group].next != 0)) {
    return errMemInvalidHandle;
  }
  if (idx->tail != RefOrNone(w.heap, end) || idx->members != members) return errMemInvalidHandle;
  return errNone;
}

// The label groups: no two small groups are next to each other, and the unused ids are exactly the
// others (the chain pass checked the groups in use).
ErrCode CheckGroups(const MemIndex* idx) {
  uint32_t used = 0;
  for (uint32_t g = 1; g < kGroupCount; ++g) {
    const LabelGroup& group = idx->groups[g];
    if (group.count == 0) continue;
    ++used;
    if (group.next >= kGroupCount) return errMemInvalidHandle;
    const uint32_t after = group.next != 0 ? idx->groups[group.next].count : kGroupLeast;
    if (group.count < kGroupLeast && after < kGroupLeast) return errMemInvalidHandle;
  }
  uint32_t unused = 0;
  for (uint32_t g = idx->unusedGroups; g != 0; g = idx->groups[g].next) {
    if (g >= kGroupCount || idx->groups[g].count != 0 || ++unused >= kGroupCount) {
      return errMemInvalidHandle;
    }
  }
  return used + unused == kGroupCount - 1 ? errNone : errMemInvalidHandle;
}

// A class list member named by `ref`, checked before its node is read: a
// free block of class `c` whose payload lies in the region. NULL when the
// link fails.
const BlockDesc* Follow(const Walk& w, uint32_t ref, uint32_t c) {
  const BlockDesc* d = DescOrNull(w.heap, ref);
  if (CheckDesc(w, d) || !IsFree(d) || IsSpare(d) || !IsMemberSize(d->blockSize)) return nullptr;
  if (!InRegion(w, Addr(d->data) - kOwnerSize, d->blockSize) || ClassOf(d->blockSize) != c) {
    return nullptr;
  }
  return d;
}

// Follow for the treap of class checkFollowClass, in the current walk.
uint32_t checkFollowClass = 0;
bool FollowForTree(const Heap*, uint32_t ref) {
  return Follow(checkWalk, ref, checkFollowClass) != nullptr;
}

// Class `c`'s list: in chain order, linked both ways (but for the head's
// prev link), exactly the chain's members of that class, its head, head
// label and count as the table says; and its treap, if it has one, right.
ErrCode CheckClassList(const Walk& w, const MemIndex* idx, uint32_t c) {
  const uint32_t count = w.classMembers[c];
  if (Contains(idx->nonEmpty, c) != (count != 0) || (count == 0) != (idx->heads[c].head == 0)) {
    return errMemInvalidHandle;
  }
  uint32_t seen = 0;
  uint64_t hash = 0;
  OrderKey last = 0;
  uint32_t prev = 0;
  for (uint32_t ref = idx->heads[c].head; ref != 0; prev = ref, ref = NextOf(DescAt(w.heap, ref))) {
    const BlockDesc* d = Follow(w, ref, c);
    if (d == nullptr || ++seen > count) return errMemInvalidHandle;
    const OrderKey key = KeyOfLabel(idx, LabelOf(d));
    if (seen > 1 && key <= last) return errMemInvalidHandle;
    if (seen > 1 && PrevOf(d) != prev) return errMemInvalidHandle;  // the head's is unused
    if (seen == 1 && (idx->heads[c].label != LabelOf(d) || idx->heads[c].key != key)) {
      return errMemInvalidHandle;
    }
    last = key;
    hash += HashOf(ref);
  }
  if (seen != count || hash != w.classHash[c]) return errMemInvalidHandle;
  if (idx->trees[c].root == 0) return errNone;
  checkFollowClass = c;
  const bool ok = c >= kTreeMinClass && idx->trees[c].count == count &&
                  MemTreeCheck(w.heap, idx->trees[c].root, DescOrNull(w.heap, idx->heads[c].head),
                               count, FollowForTree);
  return ok ? errNone : errMemInvalidHandle;
}

// The class sets: summaries agree with their words, the records are exactly
// the classes whose heads precede the heads of all classes above, and each
// record's gap bound is at most the head key of every class in its gap.
ErrCode CheckClassSets(const MemIndex* idx) {
  for (const ClassSet* set : {&idx->nonEmpty, &idx->records}) {
    if (set->words[kClassWords] != 0) return errMemInvalidHandle;
    for (uint32_t w = 0; w < kWordBits; ++w) {
      const bool any = w < kClassWords && set->words[w] != 0;
      if (((set->summary >> w) & 1) != any) return errMemInvalidHandle;
    }
  }
  OrderKey bound = kKeyEnd;
  OrderKey gapLow = 0;
  for (uint32_t c = kClassCount; c-- > 0;) {
    const bool nonEmpty = Contains(idx->nonEmpty, c);
    const bool record = nonEmpty && idx->heads[c].key < bound;
    if (Contains(idx->records, c) != record) return errMemInvalidHandle;
    if (record) {
      bound = idx->heads[c].key;
      gapLow = idx->heads[c].gapLow;
    } else if (nonEmpty && idx->heads[c].key < gapLow) {
      return errMemInvalidHandle;
    }
  }
  return errNone;
}

// The free-block index of a heap at rest (see index.h).
ErrCode CheckIndex(Walk& w) {
  const MemIndex* idx = IndexOf(w.heap);
  if (idx == nullptr || idx->suspended) return errMemInvalidHandle;
  if (ErrCode err = CheckGroups(idx)) return err;
  if (ErrCode err = CheckChainLabels(w, idx)) return err;
  for (uint32_t c = 0; c < kClassCount; ++c) {
    if (ErrCode err = CheckClassList(w, idx, c)) return err;
  }
  return CheckClassSets(idx);
}

const Heap* HeapOrCurrent(Heap* heap) {
  return heap != nullptr ? heap : memCurrentHeap;
}

}  // namespace

ErrCode MemCheckHeap(Heap* heapArg) {
  const Heap* heap = HeapOrCurrent(heapArg);
  if (heap == nullptr) return errMemNotStarted;
  if (!MemIsValidHeap(heap) || Addr(heap->limit) <= Addr(heap)) return errMemBadHeap;
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
  if (!MemIsValidHeap(heap)) return errMemBadHeap;
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
