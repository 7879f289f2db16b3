// Collecting the figures of the runs and printing the ratios.
#include "summary.h"

#include <algorithm>
#include <cstdio>

void SummaryReporter::ReportRuns(const std::vector<Run>& runs) {
  ConsoleReporter::ReportRuns(runs);
  for (const Run& run : runs)
    Record(run);
}

void SummaryReporter::Record(const Run& run) {
  if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0) return;
  double seconds = run.cpu_accumulated_time / static_cast<double>(run.iterations);
  std::vector<double>& figures = figures_[run.run_name.function_name];
  if (auto ops = run.counters.find("ops"); ops != run.counters.end()) {
    figures.push_back(seconds * 1e9 / ops->second.value);
  } else if (auto bytes = run.counters.find("bytes"); bytes != run.counters.end()) {
    figures.push_back(bytes->second.value / seconds);
  }
}

double SummaryReporter::Median(const std::string& name) const {
  auto it = figures_.find(name);
  if (it == figures_.end() || it->second.empty()) return 0;
  std::vector<double> v = it->second;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

static double Ratio(double a, double b) {
  return b > 0 ? a / b : 0;
}

void SummaryReporter::PrintWorkloadLine(const char* label, const char* prefix) const {
  std::string p = prefix;
  double loop = Median("workload/loop_only");
  double okr = Median(p + "/okr");
  double malloc = Median(p + "/malloc");
  if (okr == 0 && malloc == 0) return;
  std::printf("%-22s %7.1f %8.1f %8.1f %11.2f %14.2f\n", label, loop, okr, malloc,
              Ratio(okr, malloc), Ratio(okr - loop, malloc - loop));
}

void SummaryReporter::PrintCompactionLines() const {
  double okr = Median("compaction/okr");
  double moves = Median("compaction/memmove_same_moves");
  double one = Median("compaction/memmove_one_block");
  if (okr == 0) return;
  std::printf("compaction GB/s: okr %.2f, memmove of the same moves %.2f, one memmove %.2f\n",
              okr / 1e9, moves / 1e9, one / 1e9);
  std::printf("compaction/memmove bandwidth: %.2f of the same moves, %.2f of one memmove\n",
              Ratio(okr, moves), Ratio(okr, one));
}

void SummaryReporter::PrintSummary(const std::string& mallocName) const {
  std::printf("\n== summary: okr against malloc of %s\n", mallocName.c_str());
  std::printf("(CPU time, median of the repetitions; net = with the loop's own cost taken off)\n");
  std::printf("%-22s %7s %8s %8s %11s %14s\n", "ns per operation", "loop", "okr", "malloc",
              "okr/malloc", "net okr/malloc");
  PrintWorkloadLine("workload", "workload");
  PrintWorkloadLine("fragmented (10,000)", "fragmented");
  PrintCompactionLines();
}
