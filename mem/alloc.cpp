// Allocation and freeing: the block size rule, the free chain, the search
// that compacts and purges when nothing fits, splitting, and MemNewHandle /
// MemDisposeHandle. A block enters the chain in front of the first block at
// least as large (so among equal sizes the newest comes first); a block whose
// size changes in place keeps its place, so the chain is ascending only as
// far as such changes allow. The search takes the first block in chain order
// that is large enough.
//
// Not compiled on its own: alloc_unit.cpp includes it with index.cpp and
// pool.cpp (see there).
#include "mem/counters.h"
#include "mem/debug.h"
#include "mem/index.h"

namespace okr_mem {

uint32_t memPurgeCalls = 0;

bool MemBlockSizeFor(uint32_t n, uint32_t* blockSize) {
  // The granule is a power of two, so raising to it is a mask (a division
  // by the variable would cost more than the rest of an allocation's sums).
  const uint64_t mask = uint64_t{memBlockAlign} - 1;
  const uint64_t size = (uint64_t{n} + kOwnerSize + mask) & ~mask;
  if (size > UINT32_MAX) return false;
  *blockSize = static_cast<uint32_t>(size);
  return true;
}

// The first chain block of at least `size` bytes, found by walking the chain.
static BlockDesc* WalkToFit(const Heap* heap, uint32_t size) {
  BlockDesc* d = heap->freeBlocks;
  while (d != nullptr && d->blockSize < size)
    d = d->nextFree;
  return d;
}

// The two chain primitives below are the only places that know how the
// chain is searched: through the free-block index, except for sizes under
// its members' (no allocation asks for those), which walk the chain.
BlockDesc* MemChainFindFit(const Heap* heap, uint32_t size) {
  return IsMemberSize(size) ? MemIndexFirstFit(heap, size) : WalkToFit(heap, size);
}

// Links free block `d` into the chain right in front of `at` (NULL: at the
// end).
static void LinkInFront(Heap* heap, BlockDesc* d, BlockDesc* at) {
  OKR_MEM_ASSERT(at == nullptr || at->blockSize >= d->blockSize);
  BlockDesc* before = at != nullptr ? at->prevFree : MemChainTail(heap);
  d->prevFree = before;
  d->nextFree = at;
  if (at != nullptr) {
    at->prevFree = d;
  } else {
    MemSetChainTail(heap, d);
  }
  if (before != nullptr) {
    before->nextFree = d;
  } else {
    heap->freeBlocks = d;
  }
}

void MemChainInsert(Heap* heap, BlockDesc* d) {
  if (!IsMemberSize(d->blockSize)) return LinkInFront(heap, d, WalkToFit(heap, d->blockSize));
  const IndexSpot spot = MemIndexSeek(heap, d->blockSize);
  LinkInFront(heap, d, spot.at);
  MemIndexInsert(heap, d, spot);
}

void MemUnlinkFree(BlockDesc* d) {
  Heap* heap = memCurrentHeap;
  MemIndexRemove(heap, d);
  MemChainUnlink(heap, d);
}

void MemChainUnlink(Heap* heap, BlockDesc* d) {
  OKR_MEM_ASSERT((d->prevFree == nullptr) == (heap->freeBlocks == d));
  if (d->prevFree != nullptr) {
    d->prevFree->nextFree = d->nextFree;
  } else {
    heap->freeBlocks = d->nextFree;
  }
  if (d->nextFree != nullptr) {
    d->nextFree->prevFree = d->prevFree;
  } else {
    MemSetChainTail(heap, d->prevFree);
  }
}

void MemReshapeFree(Heap* heap, BlockDesc* d, char* data, uint32_t blockSize) {
  const IndexCarry carry = MemIndexLift(heap, d, blockSize);  // before the owner word lands
  d->blockSize = blockSize;
  if (data != d->data) {  // a block that keeps its data keeps its owner word
    d->data = data;
    WriteOwner(d);
  }
  MemIndexSettle(heap, d, carry);
}

void MemPlaceBlock(BlockDesc* d) {
  WriteOwner(d);
  if (IsFree(d)) MemChainInsert(memCurrentHeap, d);
}

void MemClaimBlock(Heap* heap, BlockDesc* d, MemWord requestedSize, uint32_t flags) {
  d->requestedSize = requestedSize;
  d->flags = flags;
  heap->freeBytes -= d->blockSize;
  MemNoteFreeBytes(heap);
}

void MemLinkAfter(BlockDesc* before, BlockDesc* d) {
  d->prev = before;
  d->next = before->next;
  if (d->next != nullptr) d->next->prev = d;
  before->next = d;
}

void MemLinkPair(Heap* heap, BlockDesc* prev, BlockDesc* d) {
  if (prev != nullptr) {
    prev->next = d;
  } else {
    heap->firstBlock = d;
  }
  if (d != nullptr) d->prev = prev;
}

// Reached only when the index has nothing that fits, or no spare descriptor
// is left: out of line.
__attribute__((noinline)) BlockDesc* MemFindBlock(uint32_t size, int noGrow) {
  Heap* heap = memCurrentHeap;
  if (!noGrow && heap->freeMasters == nullptr) {
    MemGrowMasters();
    if (memLastError != errNone) return nullptr;
  }
  bool compacted = false;
  bool purged = false;
  for (;;) {
    if (BlockDesc* d = MemChainFindFit(heap, size)) return d;
    if (MemDebugYield(heap)) continue;  // places scramble mode held are free again
    if (!compacted) {
      compacted = true;
      MemCompactHeap();
    } else if (heap->purgeProc != nullptr && !purged && !CountersOf(heap).purging) {
      // A search made by the callback itself (it allocates) does not call it
      // again: a callback that allocates before it frees would call itself
      // until the stack ran out. Such a search fails after its compaction.
      purged = true;
      ++memPurgeCalls;
      HeapCounters& counters = CountersOf(heap);
      ++counters.purgeCalls;
      counters.purging = true;
      heap->purgeProc(size);
      counters.purging = false;
      memCurrentHeap = heap;  // the callback must not leave another heap selected
    } else {
      memLastError = errMemOutOfMemory;
      return nullptr;
    }
  }
}

void MemSplitBlock(BlockDesc* d, uint32_t size) {
  OKR_MEM_ASSERT(IsFree(d) && d->blockSize >= size);
  MemUnlinkFree(d);
  MemCutBlock(d, size);
}

void MemCutBlock(BlockDesc* d, uint32_t size) {
  if (d->blockSize < MemWord{size} + memBlockAlign) return;
  // The search made sure a spare descriptor exists; should none be there
  // after all, the block is handed out whole.
  BlockDesc* rest = MemPopSpareDesc(memCurrentHeap);
  if (rest == nullptr) return;
  rest->data = static_cast<char*>(d->data) + size;
  rest->blockSize = d->blockSize - size;
  rest->flags = memFlagFree;
  MemLinkAfter(d, rest);
  d->blockSize = size;
  MemPlaceBlock(rest);
}

void MemFreeBlock(Heap* heap, BlockDesc* h) {
  OKR_MEM_ASSERT(IsInUse(h));
  char* const start = BlockStart(h);
  char* const end = BlockEnd(h);
  heap->freeBytes += h->blockSize;
  BlockDesc* prev = h->prev;
  BlockDesc* next = h->next;
  bool nextFree = next != nullptr && IsFree(next);
  if (prev != nullptr && IsFree(prev)) {
    uint32_t merged = prev->blockSize + h->blockSize;
    MemReleaseDesc(h);
    if (nextFree) {
      merged += next->blockSize;
      MemReleaseDesc(next);
    }
    MemReshapeFree(heap, prev, static_cast<char*>(prev->data), merged);
    MemDebugFreed(heap, prev, start, end);
    return;
  }
  if (nextFree) {
    h->blockSize += next->blockSize;
    MemReleaseDesc(next);
  }
  h->flags = memFlagFree;
  MemChainInsert(heap, h);  // in place: its owner word already names it
  MemDebugFreed(heap, h, start, end);
}

}  // namespace okr_mem

using namespace okr_mem;

// The two operations every module calls most take in every step they make
// (flatten): those of this file, of the descriptor stack and of the
// free-block index, which are compiled with it as one unit
// (alloc_unit.cpp). The rare paths (the slow search, the index's
// re-weighing and long walks) are marked noinline and stay calls.
__attribute__((flatten)) Handle MemNewHandle(uint32_t size);
__attribute__((flatten)) ErrCode MemDisposeHandle(Handle h);

Handle MemNewHandle(uint32_t size) {
  OKR_FAULT_MEM(nullptr);
  Heap* heap = memCurrentHeap;
  if (heap == nullptr) {
    memLastError = errMemNotStarted;
    return nullptr;
  }
  uint32_t blockSize;
  if (!MemBlockSizeFor(size, &blockSize)) {
    memLastError = errMemOutOfMemory;
    return nullptr;
  }
  memLastError = errNone;
  MemDebugScrambleBegin(heap);
  // Most searches find a block at once, mostly a record's head, whose class
  // the search knows; MemFindBlock grows, compacts and purges when not.
  IndexSpot spot{nullptr, 0, kNoClass};
  if (heap->freeMasters != nullptr) spot = MemIndexSeek(heap, blockSize);
  BlockDesc* d = spot.at;
  if (d == nullptr) d = MemFindBlock(blockSize, 0);
  if (d == nullptr) {
    MemDebugScrambleEnd(heap);
    return nullptr;
  }
  if (d == spot.at && IndexOf(heap)->heads[spot.r].head == RefOf(heap, d)) {
    MemIndexRemoveFrom(heap, d, spot.r);
    MemChainUnlink(heap, d);
    MemCutBlock(d, blockSize);
  } else {
    MemSplitBlock(d, blockSize);
  }
  MemClaimBlock(heap, d, size, memFlagInUse);
  MemDebugClaim(heap, d);
  MemDebugScrambleEnd(heap);
  return d;
}

ErrCode MemDisposeHandle(Handle h) {
  if (h == nullptr) return errMemNilHandle;
  Heap* heap = memCurrentHeap;
  if (heap == nullptr) return errMemNotStarted;
  // A handle already disposed of (spare, or describing a free block) is
  // refused rather than freed twice.
  if (!IsLiveHandle(h)) return errMemInvalidHandle;
  if (IsResource(h)) return errMemResourceData;

  MemDebugDispose(heap, h);
  MemFreeBlock(heap, h);
  return errNone;
}
