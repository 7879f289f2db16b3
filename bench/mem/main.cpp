// The memory manager benchmark program: checks which malloc the process
// really has, generates the sequences, runs the benchmarks, and closes with
// the ratios.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>

#include "malloc_provider.h"
#include "summary.h"
#include "traces.h"
#include "workload_bench.h"

namespace {

struct Trace {
  TraceName name;
  Workload w;
};

void Describe(const Trace& t) {
  std::printf(
      "%s: %zu operations, %u allocations, %u resizes, %.0f blocks live on average, %zu at the "
      "end\n",
      t.name.label.c_str(), t.w.ops.size(), t.w.allocations, t.w.resizes, t.w.meanLive,
      t.w.finalSlots.size());
}

}  // namespace

int main(int argc, char** argv) {
  const std::string provider = DescribeMallocProvider();
  std::printf("malloc is provided by %s\n", provider.c_str());
  if (!MallocIsExpected()) {
    std::fprintf(stderr, "error: this program measures %s, but malloc comes from %s\n",
                 ExpectedAllocator(), provider.c_str());
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  const std::vector<Trace> traces = {{{"workload", "workload"}, MakeWorkload(WorkloadShape{})},
                                     {{"parser", "parser trace"}, MakeParserTrace()},
                                     {{"editor", "editor trace"}, MakeEditorTrace()},
                                     {{"frame", "frame trace"}, MakeFrameTrace()}};
  std::vector<TraceName> names;
  for (const Trace& t : traces) {
    Describe(t);
    RegisterWorkloadBenchmarks(t.name.name, &t.w);
    names.push_back(t.name);
  }
  // Latency and compaction are measured against glibc's malloc and memmove,
  // once per build.
  const bool primary = std::strcmp(ExpectedAllocator(), "glibc") == 0;
  if (primary) {
    RegisterLatencyBenchmarks(&traces[0].w);
    RegisterCompactionBenchmarks();
  }

  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintSummary(MallocName(), names, primary);
  benchmark::Shutdown();
  return 0;
}
