// Generation of the replayed operation sequence.
#include "workload.h"

uint64_t BenchRng::Next() {
  // splitmix64
  uint64_t z = (state_ += 0x9E3779B97F4A7C15u);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
  return z ^ (z >> 31);
}

uint32_t BenchRng::Below(uint32_t n) {
  return static_cast<uint32_t>(((Next() >> 32) * n) >> 32);
}

uint32_t DrawRequestSize(BenchRng& rng) {
  if (rng.Below(100) < 70) return 8 + rng.Below(64 - 8 + 1);
  return 65 + rng.Below(4096 - 65 + 1);
}

namespace {

// The slots in use and the free ones, as the generator tracks them.
struct SlotBook {
  std::vector<uint32_t> live;
  std::vector<uint32_t> spare;
  uint32_t count = 0;

  uint32_t Take() {
    if (spare.empty()) return count++;
    uint32_t s = spare.back();
    spare.pop_back();
    return s;
  }
  uint32_t ReleaseRandom(BenchRng& rng) {
    uint32_t i = rng.Below(static_cast<uint32_t>(live.size()));
    uint32_t s = live[i];
    live[i] = live.back();
    live.pop_back();
    spare.push_back(s);
    return s;
  }
};

bool NextIsAllocation(BenchRng& rng, const SlotBook& book, uint32_t step, uint32_t target) {
  if (step < target || book.live.empty()) return true;
  return rng.Below(2 * target) >= book.live.size();
}

}  // namespace

Workload MakeWorkload(const WorkloadShape& shape) {
  BenchRng rng(shape.seed);
  SlotBook book;
  Workload w;
  w.ops.reserve(shape.opCount);
  uint64_t liveSum = 0;
  for (uint32_t step = 0; step < shape.opCount; ++step) {
    if (NextIsAllocation(rng, book, step, shape.targetLive)) {
      uint32_t slot = book.Take();
      book.live.push_back(slot);
      w.ops.push_back({DrawRequestSize(rng), slot});
      ++w.allocations;
    } else {
      w.ops.push_back({0, book.ReleaseRandom(rng)});
    }
    liveSum += book.live.size();
  }
  w.meanLive = shape.opCount == 0 ? 0 : static_cast<double>(liveSum) / shape.opCount;
  w.slotCount = book.count;
  w.finalSlots = book.live;
  return w;
}
