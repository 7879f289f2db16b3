// The compaction benchmarks: MemCompactHeap on a 16 MiB heap that is half
// free in alternating blocks, against memmove of the same bytes, both as the
// very moves compaction makes and as one single memmove.
//
// Every timed run starts from 16 MiB just written: the compaction run from
// the half-free heap restored in place from a copy (region and index table),
// the memmove runs from their buffer refreshed the same way. So all three
// find their data equally warm in the caches.
#include <algorithm>
#include <cstring>

#include "blocks.h"
#include "mem/index.h"
#include "workload_bench.h"

namespace {

constexpr uint64_t kCompactSeed = 0x6F6B72'436F6D70;
// Filling stops while a block of the largest request still fits for sure.
constexpr uint32_t kFillMargin = 8192;

// One block's move, as offsets from the heap header.
struct BlockMove {
  size_t from;
  size_t to;
  size_t size;
};

struct MovePlan {
  std::vector<BlockMove> moves;
  uint64_t bytes = 0;
};

// Fills the current heap from the bottom up with blocks of the workload's
// sizes until it is nearly full, using only spare descriptors of the pool.
// Each block's bytes are written, as a program writes its blocks: the moves
// then find their data in the caches, as the memmove runs find theirs.
std::vector<Handle> FillHeap(Heap* heap) {
  BenchRng rng(kCompactSeed);
  std::vector<Handle> blocks;
  while (heap->freeBytes > kFillMargin && heap->freeMasters != nullptr) {
    const uint32_t size = DrawRequestSize(rng);
    Handle h = MemNewHandle(size);
    if (h == nullptr) break;
    std::memset(h->data, static_cast<int>(blocks.size()), size);
    blocks.push_back(h);
  }
  return blocks;
}

// Disposes of every other block, largest first so that each one lands at
// the head of the size-ordered chain; returns the blocks kept.
std::vector<Handle> MakeHalfFree(Heap* heap) {
  std::vector<Handle> doomed;
  std::vector<Handle> kept;
  std::vector<Handle> blocks = FillHeap(heap);
  for (size_t i = 0; i < blocks.size(); ++i)
    (i % 2 == 0 ? doomed : kept).push_back(blocks[i]);
  std::sort(doomed.begin(), doomed.end(),
            [](Handle a, Handle b) { return a->blockSize > b->blockSize; });
  for (Handle h : doomed)
    MemDisposeHandle(h);
  return kept;
}

// The moves compaction makes: every block in use above the first free one
// slides down to where the blocks below it end.
MovePlan PlanMoves(Heap* heap) {
  MovePlan plan;
  char* base = reinterpret_cast<char*>(heap);
  char* to = nullptr;
  for (BlockDesc* d = heap->firstBlock; d != nullptr; d = d->next) {
    if (IsFree(d)) {
      if (to == nullptr) to = BlockStart(d);
      continue;
    }
    if (to == nullptr) continue;
    plan.moves.push_back({size_t(BlockStart(d) - base), size_t(to - base), d->blockSize});
    to += d->blockSize;
    plan.bytes += d->blockSize;
  }
  return plan;
}

const char* CheckCompacted() {
  MemHeapInfo info{};
  if (MemCheckHeap(nullptr) != errNone) return "MemCheckHeap failed after compaction";
  MemGetHeapInfo(nullptr, &info);
  if (info.blocksFree != 1) return "compaction left more than one free block";
  return nullptr;
}

void ReportBytes(benchmark::State& state, uint64_t bytes) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
  state.counters["bytes"] = static_cast<double>(bytes);
}

// The heap's region and index table, copied to be restored in place.
struct HeapCopy {
  explicit HeapCopy(Heap* heap)
      : heap_(heap),
        region_(static_cast<char*>(heap->region),
                static_cast<char*>(heap->region) + kBenchHeapSize),
        table_(reinterpret_cast<char*>(IndexOf(heap)),
               reinterpret_cast<char*>(IndexOf(heap)) + MemIndexBytes()) {}
  void Restore() const {
    std::memcpy(heap_->region, region_.data(), region_.size());
    std::memcpy(IndexOf(heap_), table_.data(), table_.size());
  }

 private:
  Heap* heap_;
  std::vector<char> region_;
  std::vector<char> table_;
};

void RunCompaction(benchmark::State& state) {
  BenchHeap heap;
  MakeHalfFree(heap.get());
  const uint64_t bytes = PlanMoves(heap.get()).bytes;
  const HeapCopy halfFree(heap.get());
  const char* failure = nullptr;
  bool checked = false;
  for (auto _ : state) {
    state.PauseTiming();
    halfFree.Restore();
    state.ResumeTiming();
    MemCompactHeap();
    if (!checked) {  // once: the heap is the same every time
      state.PauseTiming();
      failure = CheckCompacted();
      checked = true;
      state.ResumeTiming();
    }
  }
  if (failure != nullptr) state.SkipWithError(failure);
  ReportBytes(state, bytes);
}

// A buffer of the heap's size, written afresh before every timed run.
struct FreshBuffer {
  explicit FreshBuffer(size_t size) : bytes(size), source(size, 0x5A) {}
  void Refresh() { std::memcpy(bytes.data(), source.data(), bytes.size()); }
  std::vector<char> bytes;
  std::vector<char> source;
};

// The same moves on a plain buffer of the heap's size: the data movement of
// compaction without its bookkeeping.
void RunSameMoves(benchmark::State& state, const MovePlan* plan) {
  FreshBuffer buffer(kBenchHeapSize);
  for (auto _ : state) {
    state.PauseTiming();
    buffer.Refresh();
    state.ResumeTiming();
    for (const BlockMove& m : plan->moves)
      std::memmove(&buffer.bytes[m.to], &buffer.bytes[m.from], m.size);
    benchmark::DoNotOptimize(buffer.bytes.data());
    benchmark::ClobberMemory();
  }
  ReportBytes(state, plan->bytes);
}

// The same number of bytes in one memmove.
void RunOneMemmove(benchmark::State& state, const MovePlan* plan) {
  FreshBuffer buffer(kBenchHeapSize);
  const size_t bytes = std::min<size_t>(plan->bytes, kBenchHeapSize / 2);
  for (auto _ : state) {
    state.PauseTiming();
    buffer.Refresh();
    state.ResumeTiming();
    std::memmove(buffer.bytes.data(), buffer.bytes.data() + bytes, bytes);
    benchmark::DoNotOptimize(buffer.bytes.data());
    benchmark::ClobberMemory();
  }
  ReportBytes(state, bytes);
}

// The plan of the half-free heap every compaction run starts from.
const MovePlan* HalfFreePlan() {
  static const MovePlan plan = [] {
    BenchHeap heap;
    MakeHalfFree(heap.get());
    return PlanMoves(heap.get());
  }();
  return &plan;
}

}  // namespace

void RegisterCompactionBenchmarks() {
  const MovePlan* plan = HalfFreePlan();
  benchmark::RegisterBenchmark("compaction/okr", RunCompaction)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("compaction/memmove_same_moves", RunSameMoves, plan)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("compaction/memmove_one_block", RunOneMemmove, plan)
      ->Unit(benchmark::kMillisecond);
}
