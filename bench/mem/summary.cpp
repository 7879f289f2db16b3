// Collecting the figures of the runs and printing the ratios.
#include "summary.h"

#include <algorithm>
#include <cstdio>
#include <string>

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
  }
  // The compaction run measures three bandwidths, taken turn about.
  const std::pair<const char*, const char*> bandwidths[] = {
      {"okr_bytes_per_s", "compaction/okr"},
      {"same_moves_bytes_per_s", "compaction/memmove_same_moves"},
      {"one_memmove_bytes_per_s", "compaction/memmove_one_block"}};
  for (const auto& [counter, name] : bandwidths) {
    if (auto it = run.counters.find(counter); it != run.counters.end()) {
      figures_[name].push_back(it->second.value);
    }
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

// `value` printed `width` wide with `decimals`, or "n/a" when it is not
// positive (a benchmark that did not run).
static std::string Cell(double value, int width, int decimals) {
  char text[32];
  if (value > 0) {
    std::snprintf(text, sizeof text, "%*.*f", width, decimals, value);
  } else {
    std::snprintf(text, sizeof text, "%*s", width, "n/a");
  }
  return text;
}

void SummaryReporter::PrintWorkloadLine(const char* label, const char* prefix) const {
  std::string p = prefix;
  double loop = Median("workload/loop_only");
  double okr = Median(p + "/okr");
  double sys = Median(p + "/malloc");
  if (okr == 0 && sys == 0) return;
  double net = loop > 0 ? Ratio(okr - loop, sys - loop) : 0;
  std::printf("%-22s %s %s %s %s %s\n", label, Cell(loop, 7, 1).c_str(), Cell(okr, 8, 1).c_str(),
              Cell(sys, 8, 1).c_str(), Cell(Ratio(okr, sys), 11, 2).c_str(),
              Cell(net, 14, 2).c_str());
}

void SummaryReporter::PrintCompactionLines() const {
  double okr = Median("compaction/okr");
  double moves = Median("compaction/memmove_same_moves");
  double one = Median("compaction/memmove_one_block");
  if (okr == 0 && moves == 0 && one == 0) return;
  std::printf("compaction, 1e9 bytes/s: okr %s, memmove of the same moves %s, one memmove %s\n",
              Cell(okr / 1e9, 0, 2).c_str(), Cell(moves / 1e9, 0, 2).c_str(),
              Cell(one / 1e9, 0, 2).c_str());
  std::printf("compaction/memmove bandwidth: %s of the same moves, %s of one memmove\n",
              Cell(Ratio(okr, moves), 0, 2).c_str(), Cell(Ratio(okr, one), 0, 2).c_str());
}

// One row of the script's table: what, okr's figure, the other's, the ratio.
static void PrintRow(const std::string& what, double okr, double other) {
  if (okr <= 0 || other <= 0) return;
  std::printf("row: | %s | %.2f | %.2f | %.2f |\n", what.c_str(), okr, other, okr / other);
}

void SummaryReporter::PrintRows(const std::string& mallocName, bool withCompaction) const {
  const double plain = Median("workload/okr");
  PrintRow("workload, ns/op, against " + mallocName, plain, Median("workload/malloc"));
  PrintRow("10,000 free blocks, ns/op, against " + mallocName, Median("fragmented/okr"),
           Median("fragmented/malloc"));
  if (!withCompaction) return;
  PrintRow("okr with 10,000 free blocks against okr plain, ns/op", Median("fragmented/okr"), plain);
  const double okr = Median("compaction/okr") / 1e9;
  PrintRow("compaction, GB/s, against memmove of the same moves", okr,
           Median("compaction/memmove_same_moves") / 1e9);
  PrintRow("compaction, GB/s, against one memmove", okr,
           Median("compaction/memmove_one_block") / 1e9);
}

void SummaryReporter::PrintSummary(const std::string& mallocName, bool withCompaction) const {
  std::printf("\n== summary: okr against malloc of %s\n", mallocName.c_str());
  std::printf(
      "(median of the repetitions; ns per operation in CPU time, net = with the loop's\n"
      " own cost taken off; compaction in wall time, taken turn about with memmove)\n");
  std::printf("%-22s %7s %8s %8s %11s %14s\n", "ns per operation", "loop", "okr", "malloc",
              "okr/malloc", "net okr/malloc");
  PrintWorkloadLine("workload", "workload");
  PrintWorkloadLine("fragmented (10,000)", "fragmented");
  if (withCompaction) PrintCompactionLines();
  PrintRows(mallocName, withCompaction);
}
