// Text benchmarks. Settings reading: a generated 10 MB settings file walked
// token by token and line by line, and searched for its last keyword, in
// MB/s against inih parsing the same settings written as an INI file.
// Numeric fields: ns per field for TxtReadInt over ten typical fields
// against muparser parsing and evaluating the equivalent expressions each
// time. The ratios are printed at the end.
#include <benchmark/benchmark.h>
#include <ini.h>
#include <muParser.h>
#include <okr/expr.h>
#include <okr/mem.h>
#include <okr/sym.h>
#include <okr/txt.h>
#include <string.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr size_t kSettingsBytes = 10u << 20;

// The same settings in both notations.
struct Settings {
  std::string okr;  // "name value" lines, ';' comments
  std::string ini;  // "[section]" and "name = value" lines, ';' comments
  std::string lastKey;
};

Settings MakeSettings() {
  Settings s;
  for (unsigned i = 0; s.okr.size() < kSettingsBytes; ++i) {
    const std::string n = std::to_string(i);
    s.okr += "; window " + n + "\nwidth" + n + " 640\nheight" + n + " 480\ntitle" + n +
             " \"Main window " + n + "\"\nscale" + n + " 1.5\n\n";
    s.ini += "; window " + n + "\n[window" + n +
             "]\nwidth = 640\nheight = 480\ntitle = Main window " + n + "\nscale = 1.5\n\n";
    s.lastKey = "scale" + n;
  }
  return s;
}

const Settings& TheSettings() {
  static const Settings settings = MakeSettings();
  return settings;
}

// A stream over a copy of `text` in a new handle.
TextStream* OpenText(const std::string& text) {
  Handle h = MemNewHandle(static_cast<uint32_t>(text.size()));
  memcpy(h->data, text.data(), text.size());
  TextStream* stream = nullptr;
  TxtNewStream(h, &stream);
  return stream;
}

std::map<std::string, double> bytesPerIteration;

void OkrWalk(benchmark::State& state) {
  TextStream* stream = OpenText(TheSettings().okr);
  char token[64];
  for (auto _ : state) {
    TxtInitStream(stream, stream->handle);
    size_t tokens = 0;
    do {
      while (TxtNextToken(stream, token, sizeof token))
        ++tokens;
    } while (TxtNextLine(stream));
    benchmark::DoNotOptimize(tokens);
  }
  bytesPerIteration["OkrWalk"] = static_cast<double>(stream->size);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * stream->size);
  TxtDisposeStream(&stream);
}
BENCHMARK(OkrWalk)->Unit(benchmark::kMillisecond);

void OkrFindLastKeyword(benchmark::State& state) {
  TextStream* stream = OpenText(TheSettings().okr);
  const std::string& key = TheSettings().lastKey;
  for (auto _ : state) {
    TxtInitStream(stream, stream->handle);
    uint32_t count = 0;
    int32_t value = 0;
    if (TxtFindKeyword(stream, key.c_str(), &count)) TxtReadInt(stream, &value);
    benchmark::DoNotOptimize(value);
  }
  bytesPerIteration["OkrFindLastKeyword"] = static_cast<double>(stream->size);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * stream->size);
  TxtDisposeStream(&stream);
}
BENCHMARK(OkrFindLastKeyword)->Unit(benchmark::kMillisecond);

int CountPair(void* user, const char*, const char*, const char*) {
  ++*static_cast<size_t*>(user);
  return 1;
}

void InihParse(benchmark::State& state) {
  const std::string& text = TheSettings().ini;
  for (auto _ : state) {
    size_t pairs = 0;
    ini_parse_string(text.c_str(), CountPair, &pairs);
    benchmark::DoNotOptimize(pairs);
  }
  bytesPerIteration["InihParse"] = static_cast<double>(text.size());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * text.size());
}
BENCHMARK(InihParse)->Unit(benchmark::kMillisecond);

// Ten typical fields and what muparser needs to compute the same values.
struct Field {
  const char* okr;
  const char* muparser;
};
constexpr Field kFields[] = {
    {"640", "640"},
    {"$1F + (3*4) << 2", "31 + (3*4)*4"},
    {"1.5e2 / 3", "1.5e2 / 3"},
    {"'AB' | %1010", "16706 + 8"},
    {"-~5", "-(-5) - 1"},
    {"(width + 16) * 2", "(width + 16) * 2"},
    {"100 / 8", "100 / 8"},
    {"0x7F >= 100", "127 >= 100"},
    {"-(2 * 3) + 10", "-(2 * 3) + 10"},
    {"3.25 * 4 - 1", "3.25 * 4 - 1"},
};
constexpr size_t kFieldCount = sizeof kFields / sizeof kFields[0];

void OkrReadInt(benchmark::State& state) {
  std::string text;
  for (const Field& f : kFields)
    text += std::string(f.okr) + "\n";
  TextStream* stream = OpenText(text);
  std::vector<char*> starts;
  for (char* p = stream->pos; p < stream->end; p = strchr(p, '\n') + 1)
    starts.push_back(p);
  SymbolTable* table = nullptr;
  SymNewTable(&table);
  SymAddInt(&table, "width", 640);
  exprSymbolTable = table;
  for (auto _ : state) {
    for (char* start : starts) {
      stream->pos = start;
      int32_t value = 0;
      TxtReadInt(stream, &value);
      benchmark::DoNotOptimize(value);
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kFieldCount);
  SymDisposeTable(&table);
  TxtDisposeStream(&stream);
}
BENCHMARK(OkrReadInt);

void MuparserEval(benchmark::State& state) {
  mu::Parser parser;
  double width = 640;
  parser.DefineVar("width", &width);
  for (auto _ : state) {
    for (const Field& f : kFields) {
      parser.SetExpr(f.muparser);
      benchmark::DoNotOptimize(static_cast<int32_t>(parser.Eval()));
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kFieldCount);
}
BENCHMARK(MuparserEval);

// Both sides must compute the same value for every field.
bool FieldsAgree() {
  SymbolTable* table = nullptr;
  SymNewTable(&table);
  SymAddInt(&table, "width", 640);
  exprSymbolTable = table;
  mu::Parser parser;
  double width = 640;
  parser.DefineVar("width", &width);
  bool agree = true;
  for (const Field& f : kFields) {
    TextStream* stream = OpenText(f.okr);
    int32_t value = 0;
    const ErrCode err = TxtReadInt(stream, &value);
    parser.SetExpr(f.muparser);
    const int32_t expected = static_cast<int32_t>(parser.Eval());
    if (err != 0 || value != expected) {
      std::printf("field %s: okr %d (code 0x%X), muparser %d\n", f.okr, value, err, expected);
      agree = false;
    }
    TxtDisposeStream(&stream);
  }
  SymDisposeTable(&table);
  return agree;
}

// Shows every run as usual and keeps its time per iteration for the ratios:
// that of the last run, or the median of the repetitions when they are
// asked for (the only figure shown with --benchmark_report_aggregates_only).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.iterations == 0 || (run.run_type == Run::RT_Aggregate && !median)) continue;
      seconds_[run.run_name.function_name] = run.real_accumulated_time / run.iterations;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  double MegabytesPerSecond(const std::string& name) {
    return bytesPerIteration[name] / seconds_[name] / 1e6;
  }
  double NanosecondsPerField(const std::string& name) { return seconds_[name] * 1e9 / kFieldCount; }

 private:
  std::map<std::string, double> seconds_;
};

}  // namespace

int main(int argc, char** argv) {
  if (MemStart(0x3000000) != 0 || !FieldsAgree()) return 1;
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double walk = reporter.MegabytesPerSecond("OkrWalk");
  const double find = reporter.MegabytesPerSecond("OkrFindLastKeyword");
  const double inih = reporter.MegabytesPerSecond("InihParse");
  const double okrField = reporter.NanosecondsPerField("OkrReadInt");
  const double muField = reporter.NanosecondsPerField("MuparserEval");
  std::printf(
      "\n== summary: okr against inih and muparser (wall time: the last run, or the median of "
      "repetitions)\n");
  std::printf("settings: okr walk %.0f MB/s, okr keyword search %.0f MB/s, inih %.0f MB/s\n", walk,
              find, inih);
  std::printf("  ratio okr walk / inih: %.2f, okr keyword search / inih: %.2f\n", walk / inih,
              find / inih);
  std::printf("fields: okr %.1f ns per field, muparser %.1f ns per field\n", okrField, muField);
  std::printf("  ratio muparser / okr time per field: %.2f (okr %.1fx faster)\n",
              muField / okrField, muField / okrField);
  benchmark::Shutdown();
  return 0;
}
