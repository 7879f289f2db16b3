// MemGetHeapStats: a heap's own counters (HeapCounters, kept beside its
// free-block index) and what follows from them.
#include <cstddef>

#include "mem/counters.h"

using namespace okr_mem;

namespace {

// The end of each field of MemHeapStats, in order: a record of an older
// kind gets the whole fields that fit in it, never the front of one.
constexpr uint32_t kFieldEnds[] = {offsetof(MemHeapStats, compactions),
                                   offsetof(MemHeapStats, purgeCalls),
                                   offsetof(MemHeapStats, scrambleMoves),
                                   offsetof(MemHeapStats, bytesInUse),
                                   offsetof(MemHeapStats, peakBytesInUse),
                                   offsetof(MemHeapStats, bytesCompacted),
                                   sizeof(MemHeapStats)};

// The bytes of whole fields that fit in `size` bytes (at least the size
// field's own, which the caller checked).
uint32_t WholeFields(uint32_t size) {
  uint32_t filled = kFieldEnds[0];
  for (uint32_t end : kFieldEnds) {
    if (end <= size) filled = end;
  }
  return filled;
}

}  // namespace

ErrCode MemGetHeapStats(Heap* heap, MemHeapStats* stats) {
  if (stats == nullptr) return errNilPointer;
  if (stats->size < sizeof stats->size) return errBadData;
  if (heap == nullptr) heap = memCurrentHeap;
  if (heap == nullptr) return errMemNotStarted;
  if (!MemIsValidHeap(heap)) return errMemBadHeap;
  const HeapCounters& counters = CountersOf(heap);
  // The blocks cover every byte from the initial pool to `limit`.
  const auto span = static_cast<uint32_t>(heap->limit - static_cast<char*>(heap->firstBlock->data));
  MemHeapStats all{};
  all.size = WholeFields(stats->size);
  all.compactions = counters.compactions;
  all.purgeCalls = counters.purgeCalls;
  all.scrambleMoves = counters.scrambleMoves;
  all.bytesInUse = span - heap->freeBytes;
  all.peakBytesInUse = span - counters.leastFree;
  all.bytesCompacted = counters.bytesCompacted;
  std::memcpy(stats, &all, all.size);
  return errNone;
}
