// The memory manager benchmark program: checks which malloc the process
// really has, runs the benchmarks, and closes with the ratios.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>

#include "malloc_provider.h"
#include "summary.h"
#include "workload_bench.h"

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

  const Workload workload = MakeWorkload(WorkloadShape{});
  std::printf(
      "workload: %zu operations, %u allocations, %.0f blocks live on average, %zu at the end\n",
      workload.ops.size(), workload.allocations, workload.meanLive, workload.finalSlots.size());
  RegisterWorkloadBenchmarks(&workload);
  // Compaction is measured against memmove, whoever provides malloc: once.
  const bool withCompaction = std::strcmp(ExpectedAllocator(), "glibc") == 0;
  if (withCompaction) RegisterCompactionBenchmarks();

  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintSummary(MallocName(), withCompaction);
  benchmark::Shutdown();
  return 0;
}
