// Registration of the allocation benchmarks (workload_bench.cpp) and the
// compaction benchmarks (compact_bench.cpp).
#ifndef OKR_BENCH_MEM_WORKLOAD_BENCH_H
#define OKR_BENCH_MEM_WORKLOAD_BENCH_H

#include "workload.h"

// `w` must outlive the run of the benchmarks.
void RegisterWorkloadBenchmarks(const Workload* w);
void RegisterCompactionBenchmarks();

#endif
