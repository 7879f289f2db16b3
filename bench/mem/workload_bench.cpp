// The allocation benchmarks: a sequence replayed on okr handles, on malloc
// and on nothing at all, first from an empty heap, then from one fragmented
// into 10,000 free blocks kept apart by locked blocks, made by the same
// steps for every block source.
#include "workload_bench.h"

#include "blocks.h"

namespace {

constexpr size_t kHoles = 10'000;
constexpr uint32_t kHoleRequest = 8;

// 2 * kHoles small blocks, then every other one disposed of and the others
// locked: kHoles free blocks, each held apart from the next by a block that
// compaction cannot move.
template <class Blocks>
void Fragment(std::vector<void*>& pins) {
  pins.resize(2 * kHoles);
  for (void*& p : pins)
    p = Blocks::New(kHoleRequest);
  for (size_t i = 0; i < pins.size(); i += 2) {
    Blocks::Dispose(pins[i]);
    Blocks::Pin(pins[i + 1]);
  }
}

// Disposes of what the workload left live and of the blocks that held the
// holes apart, which leaves the heap as empty as before.
template <class Blocks>
void ReleaseAll(const Workload& w, std::vector<void*>& slots, std::vector<void*>& pins) {
  for (uint32_t s : w.finalSlots)
    Blocks::Dispose(slots[s]);
  for (size_t i = 1; i < pins.size(); i += 2)
    Blocks::Dispose(pins[i]);
  pins.clear();
}

void ReportOps(benchmark::State& state, size_t ops) {
  using benchmark::Counter;
  state.counters["ops"] = static_cast<double>(ops);
  state.counters["per_op"] =
      Counter(static_cast<double>(ops), Counter::kIsIterationInvariantRate | Counter::kInvert);
}

// One iteration replays the whole sequence; only the replay is timed.
template <class Blocks>
void RunWorkload(benchmark::State& state, const Workload* w, bool fragmented) {
  Blocks blocks;
  std::vector<void*> slots(w->slotCount);
  std::vector<void*> pins;
  const size_t live = w->finalSlots.size() + (fragmented ? kHoles : 0);
  for (auto _ : state) {
    state.PauseTiming();
    if (fragmented) Fragment<Blocks>(pins);
    blocks.BeforeReplay();
    state.ResumeTiming();
    const uint32_t failedResizes = Replay<Blocks>(w->ops, slots.data());
    state.PauseTiming();
    const char* failure =
        failedResizes != 0 ? "a resize failed during the replay" : blocks.AfterReplay(live);
    ReleaseAll<Blocks>(*w, slots, pins);
    state.ResumeTiming();
    if (failure != nullptr) {
      state.SkipWithError(failure);
      break;
    }
  }
  blocks.Report(state);
  ReportOps(state, w->ops.size());
}

// An iteration replays a million steps: a few of them per repetition are
// enough, and many repetitions, interleaved, say more on a shared machine.
template <class Blocks>
void Register(const std::string& name, const Workload* w, bool fragmented) {
  benchmark::RegisterBenchmark(name.c_str(), RunWorkload<Blocks>, w, fragmented)
      ->MinTime(0.2)
      ->Unit(benchmark::kMillisecond);
}

}  // namespace

void RegisterWorkloadBenchmarks(const std::string& name, const Workload* w) {
  Register<NoBlocks>(name + "/loop_only", w, false);
  Register<OkrBlocks>(name + "/okr", w, false);
  Register<MallocBlocks>(name + "/malloc", w, false);
  Register<OkrBlocks>(name + "/okr" + kHolesSuffix, w, true);
  Register<MallocBlocks>(name + "/malloc" + kHolesSuffix, w, true);
}
