// The block sources a workload is replayed against: the okr heap (handles),
// the process's malloc, and none at all (the loop's own cost). Each offers
// the same static New/Dispose/Resize/Pin functions, so one replay loop
// serves all three.
#ifndef OKR_BENCH_MEM_BLOCKS_H
#define OKR_BENCH_MEM_BLOCKS_H

#include <benchmark/benchmark.h>
#include <okr/err.h>
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

// New: a block, NULL on failure. Dispose: `p` from New. Resize: changes
// the block `p` refers to and may change `p`; false on failure, `p` then
// keeps its block. Pin: keeps the block where it is until disposed of.
struct NoBlocks : NoChecks {
  static void* New(uint32_t size) { return reinterpret_cast<void*>(uintptr_t{size}); }
  static void Dispose(void* p) { benchmark::DoNotOptimize(p); }
  static bool Resize(void*& p, uint32_t size) {
    benchmark::DoNotOptimize(p);
    return size != 0;
  }
  static void Pin(void* /*p*/) {}
};

struct MallocBlocks : NoChecks {
  static void* New(uint32_t size) { return std::malloc(size); }
  static void Dispose(void* p) { std::free(p); }
  static bool Resize(void*& p, uint32_t size) {
    void* q = std::realloc(p, size);
    if (q == nullptr) return false;
    p = q;
    return true;
  }
  static void Pin(void* /*p*/) {}  // malloc's blocks never move
};

class OkrBlocks {
 public:
  static void* New(uint32_t size) { return MemNewHandle(size); }
  static void Dispose(void* p) { MemDisposeHandle(static_cast<Handle>(p)); }
  static bool Resize(void*& p, uint32_t size) {
    return MemSetHandleSize(static_cast<Handle>(p), size) == errNone;
  }
  static void Pin(void* p) { MemLockHandle(static_cast<Handle>(p)); }

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

// Carries out one step of a sequence; false when a resize failed.
template <class Blocks>
inline bool Apply(const MemOp& op, void** slots) {
  switch (op.kind) {
    case MemOpKind::kNew:
      slots[op.slot] = Blocks::New(op.size);
      return true;
    case MemOpKind::kDispose:
      Blocks::Dispose(slots[op.slot]);
      return true;
    case MemOpKind::kResize:
      return Blocks::Resize(slots[op.slot], op.size);
  }
  return false;
}

// The timed loop, the same for every block source: the number of resizes
// that failed. (A failed allocation shows in the blocks left live.)
template <class Blocks>
uint32_t Replay(const std::vector<MemOp>& ops, void** slots) {
  uint32_t failed = 0;
  for (const MemOp& op : ops)
    failed += !Apply<Blocks>(op, slots);
  return failed;
}

#endif
