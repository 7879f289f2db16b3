// What the summary's text (summary.cpp) and its table rows
// (summary_rows.cpp) both print: the latency figures, the compaction cases,
// and how a figure is written.
#ifndef OKR_BENCH_MEM_SUMMARY_FIGURES_H
#define OKR_BENCH_MEM_SUMMARY_FIGURES_H

#include <cstdio>
#include <string>

// The latency figures, as counted and as printed.
struct Percentile {
  const char* counter;
  const char* label;
};
inline constexpr Percentile kPercentiles[] = {{"p50_ns", "p50"},
                                              {"p99_ns", "p99"},
                                              {"p99.9_ns", "p99.9"},
                                              {"p99.99_ns", "p99.99"},
                                              {"max_ns", "max"}};

// The compaction cases, by benchmark name.
struct CompactionCase {
  const char* name;
  const char* label;
};
inline constexpr CompactionCase kCompactionCases[] = {
    {"compaction/every_other_free", "every other block free (each block its own move)"},
    {"compaction/one_in_8_free", "one block in 8 free (runs of 7 blocks, one move each)"}};

inline double Ratio(double a, double b) {
  return b > 0 ? a / b : 0;
}

// `value` printed `width` wide with `decimals`, or "n/a" when it is not
// positive (a benchmark that did not run).
inline std::string Cell(double value, int width, int decimals) {
  char text[32];
  if (value > 0) {
    std::snprintf(text, sizeof text, "%*.*f", width, decimals, value);
  } else {
    std::snprintf(text, sizeof text, "%*s", width, "n/a");
  }
  return text;
}

#endif
