// Recording of operation sequences, and the bench workload's generator.
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

WorkloadBuilder::WorkloadBuilder(uint32_t opCount) : opCount_(opCount) {
  w_.ops.reserve(opCount);
}

void WorkloadBuilder::Step(MemOp op) {
  w_.ops.push_back(op);
  liveSum_ += live_;
}

uint32_t WorkloadBuilder::New(uint32_t size) {
  uint32_t slot;
  if (spare_.empty()) {
    slot = w_.slotCount++;
    held_.push_back(true);
  } else {
    slot = spare_.back();
    spare_.pop_back();
    held_[slot] = true;
  }
  ++live_;
  ++w_.allocations;
  Step({size, slot, MemOpKind::kNew});
  return slot;
}

void WorkloadBuilder::Dispose(uint32_t slot) {
  held_[slot] = false;
  spare_.push_back(slot);
  --live_;
  Step({0, slot, MemOpKind::kDispose});
}

void WorkloadBuilder::Resize(uint32_t slot, uint32_t size) {
  ++w_.resizes;
  Step({size, slot, MemOpKind::kResize});
}

Workload WorkloadBuilder::Finish() {
  for (uint32_t s = 0; s < w_.slotCount; ++s) {
    if (held_[s]) w_.finalSlots.push_back(s);
  }
  w_.meanLive = w_.ops.empty() ? 0 : static_cast<double>(liveSum_) / w_.ops.size();
  return std::move(w_);
}

namespace {

bool NextIsAllocation(BenchRng& rng, uint32_t live, uint32_t step, uint32_t target) {
  if (step < target || live == 0) return true;
  return rng.Below(2 * target) >= live;
}

// Takes a random entry out of `live` (order is not kept).
uint32_t TakeRandom(BenchRng& rng, std::vector<uint32_t>& live) {
  const uint32_t i = rng.Below(static_cast<uint32_t>(live.size()));
  const uint32_t s = live[i];
  live[i] = live.back();
  live.pop_back();
  return s;
}

}  // namespace

Workload MakeWorkload(const WorkloadShape& shape) {
  BenchRng rng(shape.seed);
  WorkloadBuilder b(shape.opCount);
  std::vector<uint32_t> live;
  for (uint32_t step = 0; !b.Full(); ++step) {
    if (NextIsAllocation(rng, b.Live(), step, shape.targetLive)) {
      // The size is drawn after the choice, as it always was: same seed, same sequence.
      live.push_back(b.New(DrawRequestSize(rng)));
    } else {
      b.Dispose(TakeRandom(rng, live));
    }
  }
  return b.Finish();
}
