// Scramble mode: every call that may move memory moves every unlocked
// block, so that a data address kept across the call is caught.
//
// When the call begins, the blocks to move are taken and moved one by one,
// through the free chain's own search (no compaction, no purge, no pool
// growth), to free blocks. The place a block leaves is held, in use and
// locked, by the descriptor that took it, so that neither a later block of
// the pass nor the call's own work lands there. When the call ends, the
// held places become free, and the blocks that found no room try again,
// now anywhere. A call that runs out of room gives the held places back
// before it compacts (MemDebugYield).
//
// Blocks in use do not use their prevFree field: it links the held places,
// and the blocks that found no room, into the heap's two lists.
#include <utility>

#include "mem/counters.h"
#include "mem/debug.h"

#if OKR_MEM_DEBUG

namespace okr_mem {

namespace {

void Push(BlockDesc*& list, BlockDesc* d) {
  d->prevFree = list;
  list = d;
}

BlockDesc* Pop(BlockDesc*& list) {
  BlockDesc* d = list;
  list = d->prevFree;
  d->prevFree = nullptr;
  return d;
}

// Moves block `u` to a free block of the size its request takes (the rule's,
// which a block handed out whole exceeds), as a resize moves a block.
// Returns the descriptor that holds u's old place, in use and locked; NULL
// (and u stays) when no free block fits.
BlockDesc* MoveOut(Heap* heap, BlockDesc* u) {
  uint32_t size;
  MemBlockSizeFor(static_cast<uint32_t>(u->requestedSize), &size);  // u holds that much
  BlockDesc* held = MemChainFindFit(heap, size);
  if (held == nullptr) return nullptr;
  // Without a spare descriptor a larger free block cannot be cut, and u
  // would take all of it (as like as not the heap's whole free space, which
  // the call's own allocation then lacks): u stays.
  if (held->blockSize >= MemWord{size} + memBlockAlign && heap->freeMasters == nullptr)
    return nullptr;
  void* const from = u->data;
  MemSplitBlock(held, size);
  MemDebugCopy(BlockStart(held), BlockStart(u), size);
  MemSwapPlaces(heap, u, held);
  std::swap(u->data, held->data);
  std::swap(u->blockSize, held->blockSize);
  held->flags = memFlagInUse | memFlagLocked;
  held->requestedSize = 0;
  WriteOwner(held);
  heap->freeBytes -= u->blockSize;  // the free block it took; its old place is held
  MemNoteFreeBytes(heap);
  MemDebugResized(heap, u, from, u->requestedSize, BlockEnd(u));
  ++CountersOf(heap).scrambleMoves;
  return held;
}

void Release(Heap* heap, HeapCounters& counters) {
  while (counters.held != nullptr)
    MemFreeBlock(heap, Pop(counters.held));
}

}  // namespace

void MemDebugScrambleBegin(Heap* heap) {
  HeapCounters& counters = CountersOf(heap);
  if (!counters.scramble) return;
  BlockDesc* todo = nullptr;
  for (BlockDesc* d = heap->firstBlock; d != nullptr; d = d->next) {
    if (IsInUse(d) && !IsLocked(d)) Push(todo, d);
  }
  while (todo != nullptr) {
    BlockDesc* u = Pop(todo);
    if (BlockDesc* place = MoveOut(heap, u)) {
      Push(counters.held, place);
    } else {
      Push(counters.stuck, u);
    }
  }
}

bool MemDebugYield(Heap* heap) {
  HeapCounters& counters = CountersOf(heap);
  const bool any = counters.held != nullptr;
  Release(heap, counters);
  // A purge callback may dispose of blocks that found no room: forgotten.
  while (counters.stuck != nullptr)
    Pop(counters.stuck);
  return any;
}

void MemDebugScrambleEnd(Heap* heap) {
  HeapCounters& counters = CountersOf(heap);
  Release(heap, counters);
  while (counters.stuck != nullptr) {
    if (BlockDesc* place = MoveOut(heap, Pop(counters.stuck))) MemFreeBlock(heap, place);
  }
}

}  // namespace okr_mem

#endif

using namespace okr_mem;

ErrCode MemSetScramble(Heap* heap, int on) {
  if (heap == nullptr) heap = memCurrentHeap;
  if (heap == nullptr) return errMemNotStarted;
  if (!MemIsValidHeap(heap)) return errMemBadHeap;
#if OKR_MEM_DEBUG
  CountersOf(heap).scramble = on != 0;
  return errNone;
#else
  return on != 0 ? errUnsupported : errNone;
#endif
}
