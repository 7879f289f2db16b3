// The block sources a workload is replayed against: the okr heap (handles),
// the process's malloc, and none at all (the loop's own cost). Each offers
// the same static New/Dispose pair, so one replay loop serves all three.
#ifndef OKR_BENCH_MEM_BLOCKS_H
#define OKR_BENCH_MEM_BLOCKS_H

#include <benchmark/benchmark.h>
#include <okr/mem.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "workload.h"

// Every okr heap of the benchmarks: 16 MiB, with one pool large enough for
// every block they make, so no pool extension is locked into the heap.
constexpr uint32_t kBenchHeapSize = 0x1000000;
constexpr uint32_t kBenchMasters = 32768;

// A heap made current for the lifetime of the object.
class BenchHeap {
 public:
  BenchHeap();
  ~BenchHeap();
  BenchHeap(const BenchHeap&) = delete;
  BenchHeap& operator=(const BenchHeap&) = delete;
  Heap* get() const { return heap_; }

 private:
  Heap* heap_ = nullptr;
};

// Hooks around the timed replay; only the okr heap has something to check.
struct NoChecks {
  void BeforeReplay() {}
  // NULL, or what went wrong; `live` is the number of blocks that must exist.
  const char* AfterReplay(size_t /*live*/) { return nullptr; }
  void Report(benchmark::State& /*state*/) const {}
};

struct NoBlocks : NoChecks {
  static void* New(uint32_t size) { return reinterpret_cast<void*>(uintptr_t{size}); }
  static void Dispose(void* p) { benchmark::DoNotOptimize(p); }
};

struct MallocBlocks : NoChecks {
  static void* New(uint32_t size) { return std::malloc(size); }
  static void Dispose(void* p) { std::free(p); }
};

class OkrBlocks {
 public:
  static void* New(uint32_t size) { return MemNewHandle(size); }
  static void Dispose(void* p) { MemDisposeHandle(static_cast<Handle>(p)); }

  void BeforeReplay();
  const char* AfterReplay(size_t live);
  void Report(benchmark::State& state) const;

 private:
  BenchHeap heap_;
  uint32_t compactionsBefore_ = 0;
  uint64_t compactions_ = 0;
  uint32_t freeBefore_ = 0;
  uint32_t freeAfter_ = 0;
};

// The timed loop: the same for every block source.
template <class Blocks>
void Replay(const std::vector<MemOp>& ops, void** slots) {
  for (const MemOp& op : ops) {
    if (op.size != 0) {
      slots[op.slot] = Blocks::New(op.size);
    } else {
      Blocks::Dispose(slots[op.slot]);
    }
  }
}

#endif
