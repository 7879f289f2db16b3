// The summary's "row:" lines, which scripts/bench.sh gathers into one table
// for both builds: the label of a figure is the same on every build.
#include <cstdio>
#include <string>

#include "summary.h"
#include "summary_figures.h"
#include "workload_bench.h"

namespace {

// One row of the script's table: what, okr's figure, the other's, the ratio.
void PrintRow(const std::string& what, double okr, double other) {
  if (okr <= 0 || other <= 0) return;
  std::printf("row: | %s | %.2f | %.2f | %.2f |\n", what.c_str(), okr, other, okr / other);
}

// A row with okr's figure alone (a count or a figure with nothing to compare).
void PrintOkrRow(const std::string& what, const std::string& okr) {
  std::printf("row: | %s | %s | | |\n", what.c_str(), okr.c_str());
}

}  // namespace

void SummaryReporter::PrintRows(const std::string& mallocName, const std::vector<TraceName>& traces,
                                bool primary) const {
  for (const TraceName& t : traces) {
    const double plain = Median(t.name + "/okr");
    const double holes = Median(t.name + "/okr" + kHolesSuffix);
    PrintRow(t.label + ", ns/op, against " + mallocName, plain, Median(t.name + "/malloc"));
    PrintRow(t.label + " with 10,000 free blocks, ns/op, against " + mallocName, holes,
             Median(t.name + "/malloc" + kHolesSuffix));
    if (primary)
      PrintRow("okr: " + t.label + " with 10,000 free blocks against plain", holes, plain);
  }
  if (primary) {
    PrintLatencyRows(mallocName);
    PrintCompactionRows();
  }
}

void SummaryReporter::PrintLatencyRows(const std::string& mallocName) const {
  if (Median("latency/okr.p50_ns") == 0) return;
  for (const Percentile& p : kPercentiles) {
    const std::string counter = std::string(".") + p.counter;
    PrintRow(std::string("latency ") + p.label + ", ns, against " + mallocName,
             Median("latency/okr" + counter), Median("latency/malloc" + counter));
  }
  PrintOkrRow("latency: the timer's own p50 / p99.99, ns (in every latency figure)",
              Cell(Median("latency/timer.p50_ns"), 0, 0) + " / " +
                  Cell(Median("latency/timer.p99.99_ns"), 0, 0));
  PrintOkrRow("latency: operations that compacted (left out), per run",
              std::to_string(static_cast<long>(Median("latency/okr.compacted"))));
}

void SummaryReporter::PrintCompactionRows() const {
  for (const CompactionCase& c : kCompactionCases) {
    const std::string name = c.name;
    const double okr = Median(name + ".okr_bytes_per_s") / 1e9;
    PrintRow(std::string("compaction, ") + c.label + ", GB/s, against memmove of the same moves",
             okr, Median(name + ".same_moves_bytes_per_s") / 1e9);
    PrintRow(std::string("compaction, ") + c.label + ", GB/s, against one memmove", okr,
             Median(name + ".one_memmove_bytes_per_s") / 1e9);
  }
}
