// What the slowest block operations of a sequence did: replays one of the
// benchmarks' sequences on an okr heap (once untimed, then timed as the
// latency rows time it), and tells, for the operations in the tail, which of
// the free-block index's rare paths each took, read from its effort counts
// (mem/index.h). Timing noise (an interrupt, another program on the core)
// shows as a slow operation that took none of them.
//
//   okr_mem_slowest [workload|parser|editor|frame] [--list=N]
//
// Prints the N slowest operations (default 20), then, for the 100 slowest
// (the p99.99 of a million), how many took each path (and how many of all
// operations did), and the p99.99 with the operations of a path left out:
// what removing that path's cost would leave. Operations that compacted are left out, as in the
// latency rows.
#include <okr/mem.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cycle_timer.h"
#include "mem/index.h"
#include "traces.h"

namespace {

constexpr uint32_t kHeapSize = 0x1000000;
constexpr uint32_t kMasters = 32768;
constexpr size_t kTail = 100;

// The index's rare paths, most costly first: an operation is filed under
// the first one it took.
enum Path { kSpread, kRelabel, kReweigh, kWalk, kNone, kPaths };
constexpr const char* kPathNames[kPaths] = {"spread group keys", "relabelled members",
                                            "weighed classes again", "walked a list or group",
                                            "none of them"};

struct Step {
  uint32_t ticks;
  uint32_t index;  // in the sequence
  okr_mem::IndexEffort effort;
};

Path PathOf(const okr_mem::IndexEffort& e) {
  if (e.keysSpread != 0) return kSpread;
  if (e.relabelled != 0) return kRelabel;
  if (e.weighed != 0) return kReweigh;
  if (e.walked != 0) return kWalk;
  return kNone;
}

okr_mem::IndexEffort Since(const okr_mem::IndexEffort& a, const okr_mem::IndexEffort& b) {
  return {b.relabelled - a.relabelled, b.walked - a.walked, b.weighed - a.weighed,
          b.keysSpread - a.keysSpread};
}

void Apply(const MemOp& op, std::vector<Handle>& slots) {
  switch (op.kind) {
    case MemOpKind::kNew:
      slots[op.slot] = MemNewHandle(op.size);
      if (slots[op.slot] == nullptr) std::abort();
      break;
    case MemOpKind::kDispose:
      MemDisposeHandle(slots[op.slot]);
      break;
    case MemOpKind::kResize:
      if (MemSetHandleSize(slots[op.slot], op.size) != 0) std::abort();
      break;
  }
}

// Replays `w` on the current heap; with `steps`, times every operation that
// did not compact and returns the counter's ticks per ns.
double Replay(const Workload& w, const Heap* heap, std::vector<Step>* steps) {
  std::vector<Handle> slots(w.slotCount);
  const auto start = std::chrono::steady_clock::now();
  const uint64_t first = TicksBefore();
  for (size_t i = 0; i < w.ops.size(); ++i) {
    const okr_mem::IndexEffort before = okr_mem::IndexOf(heap)->effort;
    const uint32_t compactions = okr_mem::memCompactions;
    const uint64_t t0 = TicksBefore();
    Apply(w.ops[i], slots);
    const uint64_t t1 = TicksAfter();
    if (steps != nullptr && okr_mem::memCompactions == compactions) {
      steps->push_back(Step{static_cast<uint32_t>(t1 - t0), static_cast<uint32_t>(i),
                            Since(before, okr_mem::IndexOf(heap)->effort)});
    }
  }
  const double ns =
      std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
  const double ticksPerNs = static_cast<double>(TicksAfter() - first) / ns;
  for (uint32_t s : w.finalSlots)
    MemDisposeHandle(slots[s]);
  return ticksPerNs;
}

// The kTail-th slowest of `steps` (sorted, slowest first) that did not take
// `path`, in ns (kPaths: none left out).
double TailNs(const std::vector<Step>& steps, Path path, double ticksPerNs) {
  size_t kept = 0;
  for (const Step& s : steps) {
    if (path != kPaths && PathOf(s.effort) == path) continue;
    if (++kept == kTail) return s.ticks / ticksPerNs;
  }
  return 0;
}

void Print(const Workload& w, const std::vector<Step>& steps, size_t listed, double ticksPerNs) {
  static const char* const kKinds[] = {"new", "dispose", "resize"};
  std::printf("%-5s %9s %8s %-7s %6s  %s\n", "rank", "ns", "step", "op", "bytes",
              "relabelled walked weighed keys-spread");
  for (size_t k = 0; k < std::min(listed, steps.size()); ++k) {
    const Step& s = steps[k];
    const MemOp& op = w.ops[s.index];
    const std::string bytes = op.kind == MemOpKind::kDispose ? "-" : std::to_string(op.size);
    std::printf("%-5zu %9.0f %8u %-7s %6s  %u %u %u %u\n", k + 1, s.ticks / ticksPerNs, s.index,
                kKinds[static_cast<int>(op.kind)], bytes.c_str(), s.effort.relabelled,
                s.effort.walked, s.effort.weighed, s.effort.keysSpread);
  }
  size_t tail[kPaths] = {}, all[kPaths] = {};
  for (size_t k = 0; k < steps.size(); ++k) {
    const Path p = PathOf(steps[k].effort);
    ++all[p];
    if (k < kTail) ++tail[p];
  }
  std::printf("\nthe %zu slowest, by the rarest path each took (p99.99 %.0f ns):\n", kTail,
              TailNs(steps, kPaths, ticksPerNs));
  for (int p = 0; p < kPaths; ++p) {
    std::printf("  %-24s %3zu of %7zu   p99.99 without them %.0f ns\n", kPathNames[p], tail[p],
                all[p], TailNs(steps, static_cast<Path>(p), ticksPerNs));
  }
}

[[noreturn]] void Usage() {
  std::fprintf(stderr, "usage: okr_mem_slowest [workload|parser|editor|frame] [--list=N]\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  std::string trace = "workload";
  size_t listed = 20;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("--list=", 0) == 0) {
      listed = std::strtoul(a.c_str() + 7, nullptr, 10);
    } else if (a.rfind("--", 0) == 0) {
      Usage();
    } else {
      trace = a;
    }
  }
  Workload w;
  if (!MakeTraceNamed(trace, &w)) Usage();
  Heap* heap = nullptr;
  if (MemNewHeap(nullptr, kMasters, nullptr, kHeapSize, &heap) != 0) return 1;
  MemSetHeap(heap);
  Replay(w, heap, nullptr);  // the pages the timed replay touches are mapped
  std::vector<Step> steps;
  steps.reserve(w.ops.size());
  const double ticksPerNs = Replay(w, heap, &steps);
  std::sort(steps.begin(), steps.end(),
            [](const Step& a, const Step& b) { return a.ticks > b.ticks; });
  Print(w, steps, listed, ticksPerNs);
  const bool sound = MemCheckHeap(heap) == 0;
  MemDisposeHeap(&heap);
  return sound ? 0 : 1;
}
