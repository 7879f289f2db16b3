// Heap bytes per live block: the benchmark workload replayed on an okr heap
// and on malloc, then the blocks still live counted: okr's descriptor plus
// the block (owner word and rounding included) against malloc's chunk
// (malloc_usable_size plus its size word). Built for both word sizes, as
// okr_bench_mem_bytes; prints its figures as table rows for the script.
// Arguments meant for the Google Benchmark programs are ignored.
#include <malloc.h>
#include <okr/mem.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "workload.h"

namespace {

struct LiveBytes {
  uint64_t blocks = 0;
  uint64_t requested = 0;
  uint64_t spent = 0;

  double PerBlock() const { return static_cast<double>(spent) / static_cast<double>(blocks); }
  double OverheadPerBlock() const {
    return static_cast<double>(spent - requested) / static_cast<double>(blocks);
  }
};

// The workload allocates and disposes of blocks only.
template <class New, class Dispose>
std::vector<void*> Replay(const Workload& w, New allocate, Dispose dispose) {
  std::vector<void*> slots(w.slotCount);
  for (const MemOp& op : w.ops) {
    if (op.kind == MemOpKind::kNew) {
      slots[op.slot] = allocate(op.size);
      if (slots[op.slot] == nullptr) std::abort();
    } else {
      dispose(slots[op.slot]);
    }
  }
  return slots;
}

LiveBytes OkrLiveBytes(const Workload& w) {
  Heap* heap = nullptr;
  if (MemNewHeap(nullptr, 32768, nullptr, 0x1000000, &heap) != 0) std::abort();
  MemSetHeap(heap);
  std::vector<void*> slots = Replay(
      w, [](uint32_t n) -> void* { return MemNewHandle(n); },
      [](void* h) { MemDisposeHandle(static_cast<Handle>(h)); });
  LiveBytes live;
  for (uint32_t s : w.finalSlots) {
    auto h = static_cast<Handle>(slots[s]);
    ++live.blocks;
    live.requested += MemGetHandleSize(h);
    live.spent += h->blockSize + sizeof(BlockDesc);
  }
  MemDisposeHeap(&heap);
  return live;
}

LiveBytes MallocLiveBytes(const Workload& w) {
  std::vector<uint32_t> sizes(w.slotCount);
  for (const MemOp& op : w.ops) {
    if (op.kind == MemOpKind::kNew) sizes[op.slot] = op.size;
  }
  std::vector<void*> slots = Replay(w, std::malloc, std::free);
  LiveBytes live;
  for (uint32_t s : w.finalSlots) {
    ++live.blocks;
    live.requested += sizes[s];
    live.spent += malloc_usable_size(slots[s]) + sizeof(size_t);
    std::free(slots[s]);
  }
  return live;
}

}  // namespace

int main() {
  const Workload w = MakeWorkload(WorkloadShape{});
  const LiveBytes okr = OkrLiveBytes(w);
  const LiveBytes sys = MallocLiveBytes(w);
  const int bits = static_cast<int>(8 * sizeof(void*));
  std::printf("%llu blocks live after the workload, %.1f bytes asked for on average\n",
              static_cast<unsigned long long>(okr.blocks),
              static_cast<double>(okr.requested) / static_cast<double>(okr.blocks));
  std::printf("\n== summary: heap bytes per live block, %d-bit build\n", bits);
  std::printf("okr %.1f (overhead %.1f: %zu-byte descriptor, owner word, rounding)\n",
              okr.PerBlock(), okr.OverheadPerBlock(), sizeof(BlockDesc));
  std::printf("malloc %.1f (overhead %.1f: usable size and size word)\n", sys.PerBlock(),
              sys.OverheadPerBlock());
  std::printf("row: | heap bytes per live block (overhead) | %.1f (%.1f) | %.1f (%.1f) | %.2f |\n",
              okr.PerBlock(), okr.OverheadPerBlock(), sys.PerBlock(), sys.OverheadPerBlock(),
              okr.PerBlock() / sys.PerBlock());
  return 0;
}
