// The game frame trace (see traces.h).
#include <cstddef>

#include "traces.h"

namespace {

constexpr uint64_t kFrameSeed = 0x6F6B72'4672616D;
constexpr uint32_t kOpCount = 1'000'000;
constexpr uint32_t kLongLived = 3'000;
constexpr uint32_t kReplacedPerFrame = 30;

// Per-frame blocks: 60% of 16 to 64 bytes, the rest up to 512.
uint32_t DrawFrameSize(BenchRng& rng) {
  return rng.Below(10) < 6 ? rng.Between(16, 64) : rng.Between(65, 512);
}

struct Game {
  BenchRng rng{kFrameSeed};
  WorkloadBuilder b{kOpCount};
  std::vector<uint32_t> world;  // the long-lived set
  std::vector<uint32_t> frame;  // this frame's blocks, oldest first

  void ReplaceOne() {
    uint32_t& slot = world[rng.Below(kLongLived)];
    b.Dispose(slot);
    if (!b.Full()) slot = b.New(DrawRequestSize(rng));
  }
  // A frame's blocks, with a few long-lived ones replaced among them; all
  // disposed of at its end, in the order they came.
  void Frame() {
    const uint32_t count = rng.Between(200, 400);
    for (uint32_t i = 0; i < count && !b.Full(); ++i) {
      frame.push_back(b.New(DrawFrameSize(rng)));
      if (rng.Below(count) < kReplacedPerFrame && !b.Full()) ReplaceOne();
    }
    for (size_t i = 0; i < frame.size() && !b.Full(); ++i)
      b.Dispose(frame[i]);
    frame.clear();
  }
};

}  // namespace

Workload MakeFrameTrace() {
  Game g;
  for (uint32_t i = 0; i < kLongLived; ++i)
    g.world.push_back(g.b.New(DrawRequestSize(g.rng)));
  while (!g.b.Full())
    g.Frame();
  return g.b.Finish();
}
