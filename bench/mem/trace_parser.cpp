// The parser trace (see traces.h).
#include <cstddef>

#include "traces.h"

namespace {

constexpr uint64_t kParserSeed = 0x6F6B72'50617273;
constexpr uint32_t kOpCount = 1'000'000;
constexpr uint32_t kTreeLimit = 3'500;  // nodes kept before the file ends
constexpr uint32_t kDeepest = 400;      // the stack never grows past this

// Token and node sizes, the small ones the most common.
uint32_t DrawNodeSize(BenchRng& rng) {
  static constexpr uint32_t kSizes[] = {12, 16, 16, 16, 24, 24, 24, 32, 32, 48, 64, 128};
  return kSizes[rng.Below(sizeof kSizes / sizeof kSizes[0])];
}

struct Parser {
  BenchRng rng{kParserSeed};
  WorkloadBuilder b{kOpCount};
  std::vector<uint32_t> stack;
  std::vector<uint32_t> tree;  // in the order the nodes were kept

  void Push(uint32_t count) {
    for (uint32_t i = 0; i < count && !b.Full(); ++i)
      stack.push_back(b.New(DrawNodeSize(rng)));
  }
  // Pops `count` nodes (at most the stack); one in ten goes to the tree.
  void Reduce(uint32_t count) {
    for (uint32_t i = 0; i < count && !stack.empty() && !b.Full(); ++i) {
      const uint32_t slot = stack.back();
      stack.pop_back();
      if (rng.Below(10) == 0) {
        tree.push_back(slot);
      } else {
        b.Dispose(slot);
      }
    }
  }
  void EndFile() {
    for (size_t i = 0; i < tree.size() && !b.Full(); ++i)
      b.Dispose(tree[i]);
    tree.clear();
  }
};

}  // namespace

Workload MakeParserTrace() {
  Parser p;
  while (!p.b.Full()) {
    const uint32_t burst = p.rng.Between(8, 64);
    p.Push(burst);
    // About as many pops as pushes, the stack walking up and down.
    uint32_t pops = p.rng.Between(burst - burst / 4, burst + burst / 4);
    if (p.stack.size() > kDeepest) pops += static_cast<uint32_t>(p.stack.size()) - kDeepest;
    p.Reduce(pops);
    if (p.tree.size() >= kTreeLimit) p.EndFile();
  }
  return p.b.Finish();
}
