// MemGetHeapStats: a heap's own counters (HeapCounters, kept beside its
// free-block index) and what follows from them.
#include "mem/index.h"

ErrCode MemGetHeapStats(Heap* heap, MemHeapStats* stats) {
  if (stats == nullptr) return errNilPointer;
  if (stats->size < sizeof stats->size) return errBadData;
  if (heap == nullptr) heap = memCurrentHeap;
  if (heap == nullptr) return errMemNotStarted;
  if (heap->magic != kHeapMagic) return errMemBadHeap;
  const HeapCounters& counters = CountersOf(heap);
  // The blocks cover every byte from the initial pool to `limit`.
  const auto span = static_cast<uint32_t>(heap->limit - static_cast<char*>(heap->firstBlock->data));
  MemHeapStats all{};
  all.size = std::min<uint32_t>(stats->size, sizeof all);
  all.compactions = counters.compactions;
  all.purgeCalls = counters.purgeCalls;
  all.scrambleMoves = counters.scrambleMoves;
  all.bytesInUse = span - heap->freeBytes;
  all.peakBytesInUse = span - counters.leastFree;
  all.bytesCompacted = counters.bytesCompacted;
  std::memcpy(stats, &all, all.size);
  return errNone;
}
