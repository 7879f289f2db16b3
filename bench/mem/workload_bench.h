// Registration of the allocation benchmarks (workload_bench.cpp), the
// latency benchmarks (latency_bench.cpp) and the compaction benchmarks
// (compact_bench.cpp).
#ifndef OKR_BENCH_MEM_WORKLOAD_BENCH_H
#define OKR_BENCH_MEM_WORKLOAD_BENCH_H

#include <string>

#include "workload.h"

// The suffix of the runs from a heap with 10,000 free blocks.
constexpr const char* kHolesSuffix = "_10k_free";

// Benchmarks "<name>/loop_only", "<name>/okr", "<name>/malloc", and the
// last two with kHolesSuffix. `w` must outlive the run of the benchmarks.
void RegisterWorkloadBenchmarks(const std::string& name, const Workload* w);
// "latency/okr", "latency/malloc", "latency/timer": every step of `w` timed
// alone; `w` must outlive the run and hold no resizes.
void RegisterLatencyBenchmarks(const Workload* w);
void RegisterCompactionBenchmarks();

#endif
