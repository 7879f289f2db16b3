// The closing summary of a benchmark program: the per-operation times and
// bandwidths of the runs as they are reported, and the ratios between them.
#ifndef OKR_BENCH_MEM_SUMMARY_H
#define OKR_BENCH_MEM_SUMMARY_H

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

// Prints the usual table and keeps, for every benchmark, one figure per
// repetition from its CPU time: ns per operation for runs with an "ops"
// counter, bytes per second for runs with a "bytes" counter.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  SummaryReporter() : ConsoleReporter(OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override;
  // Prints the "== summary" section; `mallocName` says whose malloc ran
  // (e.g. "glibc 2.36"). The figures also come as "row:" lines of the table
  // that scripts/bench.sh gathers; compaction's only with `withCompaction`.
  void PrintSummary(const std::string& mallocName, bool withCompaction) const;

 private:
  void Record(const Run& run);
  // The median over the repetitions, or 0 when the benchmark did not run.
  double Median(const std::string& name) const;
  void PrintWorkloadLine(const char* label, const char* prefix) const;
  void PrintCompactionLines() const;
  void PrintRows(const std::string& mallocName, bool withCompaction) const;

  std::map<std::string, std::vector<double>> figures_;
};

#endif
