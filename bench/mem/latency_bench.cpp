// Per-operation latency: the bench workload replayed with every allocation
// and disposal timed alone (cycle_timer.h), on okr handles, on malloc and
// around nothing (the timer's own cost). Each run starts with an untimed
// replay on the same heap, so the pages the timed one touches are already
// mapped; page faults during the timed replay are counted all the same.
// Operations during which okr compacted are left out of the figures and
// counted: memCompactions (mem/internal.h, the counter MemGetHeapInfo
// reports, read without its walk of the heap) tells them.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>

#include "blocks.h"
#include "cycle_timer.h"
#include "mem/internal.h"
#include "workload_bench.h"

namespace {

constexpr int kRuns = 5;

// Compactions so far: only okr compacts.
template <class Blocks>
uint32_t CompactionsSoFar() {
  return 0;
}
template <>
uint32_t CompactionsSoFar<OkrBlocks>() {
  return memCompactions;
}

uint64_t MinorFaults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<uint64_t>(usage.ru_minflt);
}

// One timed replay: the ticks of each operation that did not compact.
struct Samples {
  std::vector<uint32_t> ticks;
  uint32_t compacted = 0;
  uint64_t minorFaults = 0;
  double seconds = 0;
  double ticksPerNs = 0;  // the counter's rate, from the replay's own length
};

template <class Blocks>
void TimeEachStep(const Workload& w, void** slots, Samples& s) {
  // Written before the replay, so that no page of the samples is first
  // touched during it.
  s.ticks.assign(w.ops.size(), 0);
  size_t kept = 0;
  const uint64_t faults = MinorFaults();
  const auto start = std::chrono::steady_clock::now();
  const uint64_t first = TicksBefore();
  for (const MemOp& op : w.ops) {
    const uint32_t compactions = CompactionsSoFar<Blocks>();
    const uint64_t t0 = TicksBefore();
    Apply<Blocks>(op, slots);
    const uint64_t t1 = TicksAfter();
    if (CompactionsSoFar<Blocks>() != compactions) {
      ++s.compacted;
    } else {
      s.ticks[kept++] = static_cast<uint32_t>(t1 - t0);
    }
  }
  s.ticks.resize(kept);
  const uint64_t last = TicksAfter();
  s.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  s.ticksPerNs = static_cast<double>(last - first) / (s.seconds * 1e9);
  s.minorFaults = MinorFaults() - faults;
}

template <class Blocks>
void ReplayUntimed(const Workload& w, void** slots) {
  for (const MemOp& op : w.ops)
    Apply<Blocks>(op, slots);
}

template <class Blocks>
void ReleaseFinal(const Workload& w, void** slots) {
  for (uint32_t s : w.finalSlots)
    Blocks::Dispose(slots[s]);
}

// The nearest-rank percentile `p` (0 < p <= 100) of sorted `ticks`, in ns.
double PercentileNs(const Samples& s, double p) {
  const size_t n = s.ticks.size();
  const size_t rank = std::max<size_t>(1, static_cast<size_t>(std::ceil(p / 100 * n)));
  return s.ticks[std::min(rank, n) - 1] / s.ticksPerNs;
}

// The smallest step between two figures of sorted `ticks`, in ns: the
// counter's resolution, where it moves in steps (it does in some virtual
// machines).
double StepNs(const Samples& s) {
  uint32_t step = UINT32_MAX;
  for (size_t i = 1; i < s.ticks.size(); ++i) {
    if (s.ticks[i] != s.ticks[i - 1]) step = std::min(step, s.ticks[i] - s.ticks[i - 1]);
  }
  return step / s.ticksPerNs;
}

void Report(benchmark::State& state, Samples& s) {
  std::sort(s.ticks.begin(), s.ticks.end());
  state.counters["step_ns"] = StepNs(s);
  state.SetIterationTime(s.seconds);
  state.counters["p50_ns"] = PercentileNs(s, 50);
  state.counters["p99_ns"] = PercentileNs(s, 99);
  state.counters["p99.9_ns"] = PercentileNs(s, 99.9);
  state.counters["p99.99_ns"] = PercentileNs(s, 99.99);
  state.counters["max_ns"] = PercentileNs(s, 100);
  state.counters["compacted"] = s.compacted;
  state.counters["minor_faults"] = static_cast<double>(s.minorFaults);
}

// One run: an untimed replay, then the timed one, each from an empty heap.
template <class Blocks>
void RunLatency(benchmark::State& state, const Workload* w) {
  Blocks blocks;
  std::vector<void*> slots(w->slotCount);
  Samples samples;
  for (auto _ : state) {
    ReplayUntimed<Blocks>(*w, slots.data());
    ReleaseFinal<Blocks>(*w, slots.data());
    blocks.BeforeReplay();
    TimeEachStep<Blocks>(*w, slots.data(), samples);
    const char* failure = blocks.AfterReplay(w->finalSlots.size());
    ReleaseFinal<Blocks>(*w, slots.data());
    if (failure != nullptr) {
      state.SkipWithError(failure);
      return;
    }
  }
  Report(state, samples);
}

template <class Blocks>
void Register(const char* name, const Workload* w) {
  benchmark::RegisterBenchmark(name, RunLatency<Blocks>, w)
      ->Iterations(1)
      ->Repetitions(kRuns)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
}

}  // namespace

void RegisterLatencyBenchmarks(const Workload* w) {
  Register<OkrBlocks>("latency/okr", w);
  Register<MallocBlocks>("latency/malloc", w);
  Register<NoBlocks>("latency/timer", w);
}
