// The closing summary of a benchmark program: the per-operation times,
// latencies and bandwidths of the runs as they are reported, and the ratios
// between them.
#ifndef OKR_BENCH_MEM_SUMMARY_H
#define OKR_BENCH_MEM_SUMMARY_H

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

// A sequence the program replays: its benchmarks' name and how the summary
// calls it.
struct TraceName {
  std::string name;   // "parser": benchmarks "parser/okr", ...
  std::string label;  // "parser trace"
};

// Prints the usual table and keeps, for every benchmark, one figure per
// repetition: "<benchmark>" the ns per operation in CPU time of runs with an
// "ops" counter, and "<benchmark>.<counter>" every counter's value.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  SummaryReporter() : ConsoleReporter(OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override;
  // Prints the "== summary" section; `mallocName` says whose malloc ran
  // (e.g. "glibc 2.36"). The figures also come as "row:" lines of the table
  // that scripts/bench.sh gathers. `primary`: the program also ran the
  // figures measured once per build (latency, compaction).
  void PrintSummary(const std::string& mallocName, const std::vector<TraceName>& traces,
                    bool primary) const;

 private:
  void Record(const Run& run);
  // The median over the repetitions, or 0 when the benchmark did not run.
  double Median(const std::string& name) const;
  void PrintTraceLines(const TraceName& trace) const;
  void PrintLatencyLines() const;
  void PrintCompactionLines() const;
  // The "row:" lines (summary_rows.cpp).
  void PrintRows(const std::string& mallocName, const std::vector<TraceName>& traces,
                 bool primary) const;
  void PrintLatencyRows(const std::string& mallocName) const;
  void PrintCompactionRows() const;

  std::map<std::string, std::vector<double>> figures_;
};

#endif
