// The compaction benchmarks: MemCompactHeap on a 16 MiB heap with one block
// in `period` free, against memmove of the same bytes, both as the very
// moves compaction makes and as one single memmove, on the same memory.
// With every other block free (period 2) each block is its own move, the
// worst case; with one block in 8 free, runs of 7 blocks move as one.
#include <algorithm>
#include <chrono>
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

// Disposes of one block in `period`, largest first so that each one lands
// at the head of the size-ordered chain; returns the blocks kept.
std::vector<Handle> MakeHoles(Heap* heap, uint32_t period) {
  std::vector<Handle> doomed;
  std::vector<Handle> kept;
  std::vector<Handle> blocks = FillHeap(heap);
  for (size_t i = 0; i < blocks.size(); ++i)
    (i % period == 0 ? doomed : kept).push_back(blocks[i]);
  std::sort(doomed.begin(), doomed.end(),
            [](Handle a, Handle b) { return a->blockSize > b->blockSize; });
  for (Handle h : doomed)
    MemDisposeHandle(h);
  return kept;
}

// The moves compaction makes: every block in use above the first free one
// slides down to where the blocks below it end, and adjacent blocks, which
// slide by the same distance, in one move. (The heap has no locked block.)
MovePlan PlanMoves(Heap* heap) {
  MovePlan plan;
  char* base = reinterpret_cast<char*>(heap);
  char* to = nullptr;
  bool adjacent = false;  // the block follows the one that moved last
  for (BlockDesc* d = heap->firstBlock; d != nullptr; d = d->next) {
    if (IsFree(d)) {
      if (to == nullptr) to = BlockStart(d);
      adjacent = false;
      continue;
    }
    if (to == nullptr) continue;
    if (adjacent) {
      plan.moves.back().size += d->blockSize;
    } else {
      plan.moves.push_back({size_t(BlockStart(d) - base), size_t(to - base), d->blockSize});
    }
    adjacent = true;
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

// The heap's region and index table, copied to be restored in place.
class HeapCopy {
 public:
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

// Seconds that `work` takes.
template <class Work>
double Seconds(Work work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Each iteration times, one after the other, the compaction of the heap with
// holes, the same moves made on the heap's bytes (the data movement of
// compaction without its bookkeeping) and one memmove of as many bytes
// within the heap's region, each after the heap is restored from its copy.
// Taken turn about on the same memory, the three meet the same caches and
// the same load from whatever else the machine runs. The iteration's time is
// the compaction's; the counters give the bandwidth of all three.
void RunCompaction(benchmark::State& state, uint32_t period) {
  BenchHeap heap;
  MakeHoles(heap.get(), period);
  const MovePlan plan = PlanMoves(heap.get());
  const HeapCopy holed(heap.get());
  char* base = reinterpret_cast<char*>(heap.get());
  const size_t oneBytes = std::min<size_t>(plan.bytes, kBenchHeapSize / 2 - kFillMargin);
  double compaction = 0, sameMoves = 0, oneMemmove = 0;
  for (auto _ : state) {
    holed.Restore();
    const double seconds = Seconds([] { MemCompactHeap(); });
    state.SetIterationTime(seconds);
    compaction += seconds;
    holed.Restore();
    sameMoves += Seconds([&] {
      for (const BlockMove& m : plan.moves)
        std::memmove(base + m.to, base + m.from, m.size);
      benchmark::ClobberMemory();
    });
    holed.Restore();
    oneMemmove += Seconds([&] {
      std::memmove(base + kFillMargin, base + kFillMargin + oneBytes, oneBytes);
      benchmark::ClobberMemory();
    });
  }
  holed.Restore();
  MemCompactHeap();
  if (const char* failure = CheckCompacted()) state.SkipWithError(failure);
  const auto n = static_cast<double>(state.iterations());
  state.counters["okr_bytes_per_s"] = n * static_cast<double>(plan.bytes) / compaction;
  state.counters["same_moves_bytes_per_s"] = n * static_cast<double>(plan.bytes) / sameMoves;
  state.counters["one_memmove_bytes_per_s"] = n * static_cast<double>(oneBytes) / oneMemmove;
  state.counters["moves"] = static_cast<double>(plan.moves.size());
}

}  // namespace

// A compaction takes a few milliseconds, and each iteration spends about
// five times as long restoring the heap: 0.1 s of compactions per
// repetition.
void RegisterCompactionBenchmarks() {
  benchmark::RegisterBenchmark("compaction/every_other_free", RunCompaction, 2)
      ->UseManualTime()
      ->MinTime(0.1)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("compaction/one_in_8_free", RunCompaction, 8)
      ->UseManualTime()
      ->MinTime(0.1)
      ->Unit(benchmark::kMillisecond);
}
