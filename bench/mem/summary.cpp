// Collecting the figures of the runs and printing the summary's lines.
#include "summary.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "summary_figures.h"
#include "workload_bench.h"

void SummaryReporter::ReportRuns(const std::vector<Run>& runs) {
  ConsoleReporter::ReportRuns(runs);
  for (const Run& run : runs)
    Record(run);
}

void SummaryReporter::Record(const Run& run) {
  if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0) return;
  const std::string& name = run.run_name.function_name;
  const double seconds = run.cpu_accumulated_time / static_cast<double>(run.iterations);
  if (auto ops = run.counters.find("ops"); ops != run.counters.end()) {
    figures_[name].push_back(seconds * 1e9 / ops->second.value);
  }
  for (const auto& [counter, value] : run.counters)
    figures_[name + "." + counter].push_back(value.value);
}

double SummaryReporter::Median(const std::string& name) const {
  auto it = figures_.find(name);
  if (it == figures_.end() || it->second.empty()) return 0;
  std::vector<double> v = it->second;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void SummaryReporter::PrintTraceLines(const TraceName& trace) const {
  const double loop = Median(trace.name + "/loop_only");
  for (const std::string suffix : {"", kHolesSuffix}) {
    const double okr = Median(trace.name + "/okr" + suffix);
    const double sys = Median(trace.name + "/malloc" + suffix);
    if (okr == 0 && sys == 0) continue;
    const double net = loop > 0 ? Ratio(okr - loop, sys - loop) : 0;
    const std::string label = trace.label + (suffix[0] != 0 ? ", 10,000 free" : "");
    std::printf("%-30s %s %s %s %s %s\n", label.c_str(), Cell(loop, 7, 1).c_str(),
                Cell(okr, 8, 1).c_str(), Cell(sys, 8, 1).c_str(),
                Cell(Ratio(okr, sys), 11, 2).c_str(), Cell(net, 14, 2).c_str());
  }
}

void SummaryReporter::PrintLatencyLines() const {
  if (Median("latency/okr.p50_ns") == 0) return;
  std::printf("\nlatency of single operations, ns (the timer's own cost included)\n");
  std::printf("%-8s %9s %9s %9s %11s\n", "", "okr", "malloc", "timer", "okr/malloc");
  for (const Percentile& p : kPercentiles) {
    const std::string counter = std::string(".") + p.counter;
    const double okr = Median("latency/okr" + counter);
    const double sys = Median("latency/malloc" + counter);
    std::printf("%-8s %s %s %s %s\n", p.label, Cell(okr, 9, 0).c_str(), Cell(sys, 9, 0).c_str(),
                Cell(Median("latency/timer" + counter), 9, 0).c_str(),
                Cell(Ratio(okr, sys), 11, 2).c_str());
  }
  std::printf("the counter moves in steps of %.1f ns\n", Median("latency/timer.step_ns"));
  std::printf("operations that compacted, left out: okr %.0f per run\n",
              Median("latency/okr.compacted"));
  std::printf("minor page faults during the timed replay: okr %.0f, malloc %.0f\n",
              Median("latency/okr.minor_faults"), Median("latency/malloc.minor_faults"));
}

void SummaryReporter::PrintCompactionLines() const {
  for (const CompactionCase& c : kCompactionCases) {
    const std::string name = c.name;
    const double okr = Median(name + ".okr_bytes_per_s");
    const double moves = Median(name + ".same_moves_bytes_per_s");
    const double one = Median(name + ".one_memmove_bytes_per_s");
    if (okr == 0) continue;
    std::printf("\ncompaction, %s, %.0f moves\n", c.label, Median(name + ".moves"));
    std::printf("1e9 bytes/s: okr %s, memmove of the same moves %s, one memmove %s\n",
                Cell(okr / 1e9, 0, 2).c_str(), Cell(moves / 1e9, 0, 2).c_str(),
                Cell(one / 1e9, 0, 2).c_str());
    std::printf("okr/memmove bandwidth: %s of the same moves, %s of one memmove\n",
                Cell(Ratio(okr, moves), 0, 2).c_str(), Cell(Ratio(okr, one), 0, 2).c_str());
  }
}

void SummaryReporter::PrintSummary(const std::string& mallocName,
                                   const std::vector<TraceName>& traces, bool primary) const {
  std::printf("\n== summary: okr against malloc of %s, %d-bit build\n", mallocName.c_str(),
              static_cast<int>(8 * sizeof(void*)));
  std::printf(
      "(median of the repetitions; ns per operation in CPU time, net = with the loop's\n"
      " own cost taken off; compaction in wall time, taken turn about with memmove)\n");
  std::printf("%-30s %7s %8s %8s %11s %14s\n", "ns per operation", "loop", "okr", "malloc",
              "okr/malloc", "net okr/malloc");
  for (const TraceName& t : traces)
    PrintTraceLines(t);
  if (primary) {
    PrintLatencyLines();
    PrintCompactionLines();
  }
  PrintRows(mallocName, traces, primary);
}
