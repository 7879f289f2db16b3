// Resizing a handle: no change, shrinking in place, growing into the next
// free block, and only then moving the block to a new place.
#include <utility>

#include "mem/counters.h"
#include "mem/debug.h"

using namespace okr_mem;

// Gives the last `d` bytes of `h`'s block back: to the free block after it,
// or as a new free block when the tail is at least a granule.
static void Shrink(Heap* heap, BlockDesc* h, MemWord d) {
  BlockDesc* next = h->next;
  if (next != nullptr && IsFree(next)) {
    MemReshapeFree(heap, next, static_cast<char*>(next->data) - d, next->blockSize + d);
  } else {
    // The tail's descriptor may come from a new pool extension, as an
    // allocation's does, but only from one placed without compacting: a
    // shrink never moves a block. Without one the block keeps its size.
    if (d < memBlockAlign) return;
    if (heap->freeMasters == nullptr && !MemGrowMastersInPlace(heap)) return;
    BlockDesc* tail = MemPopSpareDesc(heap);
    tail->data = static_cast<char*>(h->data) + (h->blockSize - d);
    tail->blockSize = d;
    tail->flags = memFlagFree;
    MemLinkAfter(h, tail);
    MemPlaceBlock(tail);
  }
  h->blockSize -= d;
  heap->freeBytes += static_cast<uint32_t>(d);
}

// Grows `h` by `d` bytes into the free block after it, if that is large
// enough. A rest too small to carry its own owner word goes to `h` as well.
static bool GrowInPlace(Heap* heap, BlockDesc* h, MemWord d) {
  BlockDesc* next = h->next;
  if (next == nullptr || !IsFree(next) || next->blockSize < d) return false;
  MemWord rest = next->blockSize - d;
  if (rest < kOwnerSize) {
    d += rest;
    MemReleaseDesc(next);
  } else {
    MemReshapeFree(heap, next, static_cast<char*>(next->data) + d, rest);
  }
  h->blockSize += d;
  heap->freeBytes -= static_cast<uint32_t>(d);
  MemNoteFreeBytes(heap);
  return true;
}

namespace okr_mem {

void MemSwapPlaces(Heap* heap, BlockDesc* a, BlockDesc* b) {
  if (b->next == a) std::swap(a, b);
  BlockDesc* ap = a->prev;
  BlockDesc* bn = b->next;
  if (a->next == b) {
    MemLinkPair(heap, ap, b);
    MemLinkPair(heap, b, a);
    MemLinkPair(heap, a, bn);
    return;
  }
  BlockDesc* an = a->next;
  BlockDesc* bp = b->prev;
  MemLinkPair(heap, ap, b);
  MemLinkPair(heap, b, an);
  MemLinkPair(heap, bp, a);
  MemLinkPair(heap, a, bn);
}

}  // namespace okr_mem

// Moves `h` to a free block of `size` bytes; its old place becomes a free
// block under the other descriptor, not merged with its neighbours. `*from`
// receives the data address it left.
static ErrCode Move(Heap* heap, BlockDesc* h, uint32_t size, void** from) {
  const MemWord requested = h->requestedSize;
  BlockDesc* found = MemFindBlock(size, 0);  // may compact, moving h too
  if (found == nullptr) return errMemOutOfMemory;
  // A purge callback may have changed the very block being resized, and its
  // change stands: disposed of, there is nothing to move; locked, it must
  // stay; resized, it may no longer fit the block found.
  if (!IsLiveHandle(h) || h->requestedSize != requested) return errMemInvalidHandle;
  if (IsLocked(h)) return errMemLocked;
  *from = h->data;
  MemSplitBlock(found, size);
  MemDebugCopy(BlockStart(found), BlockStart(h), h->blockSize);

  MemSwapPlaces(heap, h, found);
  std::swap(h->data, found->data);
  std::swap(h->blockSize, found->blockSize);
  found->flags = memFlagFree;
  MemPlaceBlock(found);
  heap->freeBytes += static_cast<uint32_t>(found->blockSize);
  heap->freeBytes -= static_cast<uint32_t>(h->blockSize);
  MemNoteFreeBytes(heap);
  return errNone;
}

// Gives `h` a block of `size` bytes: in place where it can, else elsewhere
// (from `*from`, see Move).
static ErrCode Resize(Heap* heap, BlockDesc* h, uint32_t size, void** from) {
  if (size < h->blockSize) {
    Shrink(heap, h, h->blockSize - size);
  } else if (size > h->blockSize && !GrowInPlace(heap, h, size - h->blockSize)) {
    if (IsLocked(h)) return errMemLocked;
    return Move(heap, h, size, from);
  }
  return errNone;
}

ErrCode MemSetHandleSize(Handle h, uint32_t newSize) {
  if (h == nullptr) return errMemNilHandle;
  Heap* heap = memCurrentHeap;
  if (heap == nullptr) return errMemNotStarted;
  if (!IsLiveHandle(h)) return errMemInvalidHandle;
  if (newSize > h->requestedSize) OKR_FAULT_MEM(errMemOutOfMemory);
  uint32_t size;
  if (!MemBlockSizeFor(newSize, &size)) return memLastError = errMemOutOfMemory;

  const bool grows = size > h->blockSize;  // the call may move memory
  if (grows) MemDebugScrambleBegin(heap);
  void* oldData = h->data;
  const MemWord oldRequested = h->requestedSize;
  char* const oldEnd = BlockEnd(h);
  const ErrCode err = Resize(heap, h, size, &oldData);
  if (err == errNone) {
    h->requestedSize = newSize;
    MemDebugResized(heap, h, oldData, oldRequested, oldEnd);
  }
  if (grows) MemDebugScrambleEnd(heap);
  return err;
}
