// The operation sequences every allocator replays, generated once before
// anything is timed: the bench workload (a fixed-seed mix of allocations and
// disposals with a steady number of live blocks) and the traces of
// traces.h, which all come as a Workload.
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
  // Uniform in [low, high].
  uint32_t Between(uint32_t low, uint32_t high) { return low + Below(high - low + 1); }

 private:
  uint64_t state_;
};

// A request size: 8..4096 bytes, 70% of them 64 bytes or less.
uint32_t DrawRequestSize(BenchRng& rng);

enum class MemOpKind : uint8_t {
  kNew,      // allocate `size` bytes into `slot`
  kDispose,  // dispose of the block held in `slot`
  kResize,   // resize the block held in `slot` to `size` bytes
};

// One step of a sequence.
struct MemOp {
  uint32_t size;
  uint32_t slot;
  MemOpKind kind;
};

struct Workload {
  std::vector<MemOp> ops;
  uint32_t slotCount = 0;            // slots needed: the most blocks live at once
  std::vector<uint32_t> finalSlots;  // slots still holding a block after the last step
  uint32_t allocations = 0;
  uint32_t resizes = 0;
  double meanLive = 0;  // live blocks, averaged over the steps
};

// Records a sequence step by step and hands out the slots: a disposed
// block's slot is the next one reused.
class WorkloadBuilder {
 public:
  explicit WorkloadBuilder(uint32_t opCount);
  // The slot the new block goes to.
  uint32_t New(uint32_t size);
  // `slot` must hold a block; it is free afterwards.
  void Dispose(uint32_t slot);
  // `slot` must hold a block.
  void Resize(uint32_t slot, uint32_t size);
  uint32_t Live() const { return live_; }
  // True once the sequence has as many steps as it was made for.
  bool Full() const { return w_.ops.size() >= opCount_; }
  // The finished sequence; the builder is spent.
  Workload Finish();

 private:
  void Step(MemOp op);

  Workload w_;
  uint32_t opCount_;
  uint32_t live_ = 0;
  uint64_t liveSum_ = 0;
  std::vector<uint32_t> spare_;
  std::vector<bool> held_;  // by slot: holds a block
};

struct WorkloadShape {
  uint64_t seed = 0x6F6B72'4D656D31;
  uint32_t opCount = 1'000'000;
  uint32_t targetLive = 4'000;
};

// The bench workload. The first targetLive steps allocate; after that each
// step allocates with probability 1 - live / (2 * targetLive), else disposes
// of a random live block, which holds the live count near targetLive.
Workload MakeWorkload(const WorkloadShape& shape);

#endif
