// A heap's own counters (for MemGetHeapStats) and where they live: outside
// its region, in the one allocation a heap makes besides the region, after
// the free-block index's table, whose address the heap keeps (index.h).
#ifndef OKR_MEM_COUNTERS_H
#define OKR_MEM_COUNTERS_H

#include "mem/index.h"
#include "mem/internal.h"

namespace okr_mem {

// What one heap counts.
struct HeapCounters {
  uint32_t compactions;
  uint32_t purgeCalls;
  uint32_t scrambleMoves;
  uint32_t leastFree;  // the smallest freeBytes the heap has had
  uint64_t bytesCompacted;
  bool purging;  // the purge callback is running
#if OKR_MEM_DEBUG
  // Scramble mode (debug.h), and during a call the places it holds and the
  // blocks it could not move (scramble.cpp).
  bool scramble;
  BlockDesc* held;
  BlockDesc* stuck;
#endif
};

// What a heap keeps outside its region: the index's table, then the heap's
// counters.
struct MemSide {
  MemIndex index;
  HeapCounters counters;
};

inline HeapCounters& CountersOf(const Heap* heap) {
  return reinterpret_cast<MemSide*>(IndexOf(heap))->counters;
}

// After freeBytes fell: keeps its least value, from which the peak of bytes
// in use follows.
inline void MemNoteFreeBytes(const Heap* heap) {
  HeapCounters& counters = CountersOf(heap);
  if (heap->freeBytes < counters.leastFree) counters.leastFree = heap->freeBytes;
}

}  // namespace okr_mem

#endif
