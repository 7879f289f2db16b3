// The okr block source: a benchmark heap, and the checks and counters taken
// around each timed replay (outside the timing).
#include "blocks.h"

#include "mem/internal.h"

BenchHeap::BenchHeap() {
  if (MemNewHeap(nullptr, kBenchMasters, nullptr, kBenchHeapSize, &heap_) != errNone) std::abort();
  MemSetHeap(heap_);
}

BenchHeap::~BenchHeap() {
  MemDisposeHeap(&heap_);
}

static uint32_t FreeBlockCount() {
  MemHeapInfo info{};
  MemGetHeapInfo(nullptr, &info);
  return info.blocksFree;
}

void OkrBlocks::BeforeReplay() {
  freeBefore_ = FreeBlockCount();
  compactionsBefore_ = okr_mem::memCompactions;
}

const char* OkrBlocks::AfterReplay(size_t live) {
  compactions_ += okr_mem::memCompactions - compactionsBefore_;
  MemHeapInfo info{};
  if (MemCheckHeap(nullptr) != errNone) return "MemCheckHeap failed after the replay";
  MemGetHeapInfo(nullptr, &info);
  freeAfter_ = info.blocksFree;
  if (info.blocksInUse != live) return "an allocation failed during the replay";
  return nullptr;
}

void OkrBlocks::Report(benchmark::State& state) const {
  state.counters["free_before"] = freeBefore_;
  state.counters["free_after"] = freeAfter_;
  state.counters["compactions"] =
      benchmark::Counter(static_cast<double>(compactions_), benchmark::Counter::kAvgIterations);
}
