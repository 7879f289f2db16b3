// The operation sequences every allocator replays: a fixed-seed mix of
// allocations and disposals with a steady number of live blocks, generated
// once before anything is timed.
#ifndef OKR_BENCH_MEM_WORKLOAD_H
#define OKR_BENCH_MEM_WORKLOAD_H

#include <cstdint>
#include <vector>

// A small generator written out here in full, so the sequence is the same on every
// compiler and standard library.
class BenchRng {
 public:
  explicit BenchRng(uint64_t seed) : state_(seed) {}
  uint64_t Next();
  // Uniform in [0, n).
  uint32_t Below(uint32_t n);

 private:
  uint64_t state_;
};

// A request size: 8..4096 bytes, 70% of them 64 bytes or less.
uint32_t DrawRequestSize(BenchRng& rng);

// One step: allocate `size` bytes into `slot`, or (size 0) dispose of the
// block held in `slot`.
struct MemOp {
  uint32_t size;
  uint32_t slot;
};

struct WorkloadShape {
  uint64_t seed = 0x6F6B72'4D656D31;
  uint32_t opCount = 1'000'000;
  uint32_t targetLive = 4'000;
};

struct Workload {
  std::vector<MemOp> ops;
  uint32_t slotCount = 0;            // slots needed: the most blocks live at once
  std::vector<uint32_t> finalSlots;  // slots still holding a block after the last step
  uint32_t allocations = 0;
  double meanLive = 0;  // live blocks, averaged over the steps
};

// The first targetLive steps allocate; after that each step allocates with
// probability 1 - live / (2 * targetLive), else disposes of a random live
// block, which holds the live count near targetLive.
Workload MakeWorkload(const WorkloadShape& shape);

#endif
