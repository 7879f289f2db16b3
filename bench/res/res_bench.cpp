// Resource file benchmarks over files of 1k to 64k resources of
// 64 bytes each, all of one type: adding them all to a new file, writing the
// file (its close), loading every resource of the written file, and a flush
// that compacts a file whose every resource moved (the first one grew by a
// byte, so it went to the end and all others slide down); rewriting every
// resource of a written file in place (same size) and flushing, written
// back by the flush or one ResWriteResource each; and adding and
// writing resources of 16 types taken in turn. Each benchmark
// times only its own phase (manual time); the set-up around it is not
// counted. Reading the same file with fread, whole and in 64-byte pieces,
// is the yardstick. Three shapes of file are timed whole, at 4k to 64k:
// as many types as resources (add each, close, reopen, count and describe
// every type), one type emptied from its front (open, load and remove each
// first resource, close), and 16 resources to each of a sixteenth as many
// types, added to the types in turn (add all, close). Tables of all figures
// are printed at the end.
#include <benchmark/benchmark.h>
#include <okr/okr.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kResourceSize = 64;
constexpr uint32_t kType = 0x41544144;  // "DATA"
const std::vector<int64_t> kCounts = {1000, 4000, 16000, 32000, 64000};
const std::vector<int64_t> kShapeCounts = {4000, 16000, 32000, 64000};

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The process id keeps apart the files of runs made at the same time.
std::string PathFor(int64_t count) {
  return "/tmp/okr_bench_res_" + std::to_string(getpid()) + "_" + std::to_string(count) + ".res";
}

// A new file with `count` resources added, of `types` types taken in turn,
// still open; the adding is timed.
File* CreateAndAdd(int64_t count, double* addSeconds, uint32_t types = 1) {
  File* file = nullptr;
  if (ResCreateFile(PathFor(count).c_str(), &file) != 0) return nullptr;
  Clock::time_point start = Clock::now();
  for (int64_t i = 0; i < count; ++i) {
    Handle h = MemNewHandle(kResourceSize);
    if (h == nullptr) return nullptr;
    memset(h->data, int(i), kResourceSize);
    if (ResAddResource(file, kType + uint32_t(i) % types, h) != 0) return nullptr;
  }
  *addSeconds = Since(start);
  return file;
}

// Writes the file of `count` resources that the other benchmarks read.
bool WriteFile(int64_t count) {
  double seconds = 0;
  File* file = CreateAndAdd(count, &seconds);
  return file != nullptr && ResCloseFile(file) == 0;
}

void Fail(benchmark::State& state, const char* what) {
  state.SkipWithError(what);
}

void Add(benchmark::State& state) {
  for (auto _ : state) {
    double seconds = 0;
    File* file = CreateAndAdd(state.range(0), &seconds);
    if (file == nullptr) return Fail(state, "adding failed");
    state.SetIterationTime(seconds);
    ResCloseFile(file);
  }
}

void Write(benchmark::State& state) {
  for (auto _ : state) {
    double seconds = 0;
    File* file = CreateAndAdd(state.range(0), &seconds);
    if (file == nullptr) return Fail(state, "adding failed");
    Clock::time_point start = Clock::now();
    if (ResCloseFile(file) != 0) return Fail(state, "close failed");
    state.SetIterationTime(Since(start));
  }
}

void AddWriteMixed(benchmark::State& state) {
  for (auto _ : state) {
    double seconds = 0;
    File* file = CreateAndAdd(state.range(0), &seconds, 16);
    if (file == nullptr) return Fail(state, "adding failed");
    Clock::time_point start = Clock::now();
    if (ResCloseFile(file) != 0) return Fail(state, "close failed");
    state.SetIterationTime(seconds + Since(start));
  }
}

void LoadAll(benchmark::State& state) {
  const int64_t count = state.range(0);
  if (!WriteFile(count)) return Fail(state, "writing the file failed");
  for (auto _ : state) {
    File* file = nullptr;
    if (ResOpenNamedFile(PathFor(count).c_str(), &file) != 0) return Fail(state, "open failed");
    Clock::time_point start = Clock::now();
    for (int64_t i = 0; i < count; ++i) {
      Handle h = nullptr;
      if (ResLoadResource(file, kType, uint32_t(i), &h) != 0) return Fail(state, "load failed");
    }
    state.SetIterationTime(Since(start));
    ResCloseFile(file);
  }
}

// Grows the first resource by a byte and writes it back: it is appended,
// and every resource of the file then moves at the next compaction.
File* OpenWithFirstGrown(int64_t count) {
  FILE* file = nullptr;
  if (FileOpen(PathFor(count).c_str(), "r+b", &file) != 0 || ResOpenFile(file, 0) != 0)
    return nullptr;
  Handle h = nullptr;
  if (ResLoadResource(file, kType, 0, &h) != 0 || MemSetHandleSize(h, kResourceSize + 1) != 0 ||
      ResMarkChanged(h) != 0 || ResWriteResource(h) != 0)
    return nullptr;
  return file;
}

void CompactAll(benchmark::State& state) {
  const int64_t count = state.range(0);
  for (auto _ : state) {
    if (!WriteFile(count)) return Fail(state, "writing the file failed");
    File* file = OpenWithFirstGrown(count);
    if (file == nullptr) return Fail(state, "growing the first resource failed");
    Clock::time_point start = Clock::now();
    if (ResFlushFile(file) != 0) return Fail(state, "flush failed");
    state.SetIterationTime(Since(start));
    ResCloseFile(file);
  }
}

// A file of `count` types with one resource each: added, closed, opened
// again, and every type counted and its resource described. The phases'
// times are counters of their own.
void ManyTypes(benchmark::State& state) {
  const int64_t count = state.range(0);
  double add = 0, close = 0, lookup = 0;
  for (auto _ : state) {
    double seconds = 0;
    File* file = CreateAndAdd(count, &seconds, uint32_t(count));
    if (file == nullptr) return Fail(state, "adding failed");
    Clock::time_point start = Clock::now();
    if (ResCloseFile(file) != 0) return Fail(state, "close failed");
    double closing = Since(start);
    start = Clock::now();
    if (ResOpenNamedFile(PathFor(count).c_str(), &file) != 0) return Fail(state, "open failed");
    for (int64_t i = 0; i < count; ++i) {
      uint32_t resources = 0;
      ResInfo info;
      if (ResCountResources(file, kType + uint32_t(i), &resources) != 0 || resources != 1 ||
          ResGetIndexedInfo(file, kType + uint32_t(i), 0, &info) != 0)
        return Fail(state, "lookup failed");
    }
    double looking = Since(start);
    ResCloseFile(file);
    state.SetIterationTime(seconds + closing + looking);
    add += seconds, close += closing, lookup += looking;
  }
  const double ms = 1e3 / double(state.iterations());
  state.counters["add_ms"] = add * ms;
  state.counters["close_ms"] = close * ms;
  state.counters["lookup_ms"] = lookup * ms;
}

// A file of `count` resources of one type, opened, each first resource
// loaded and removed until none is left, and closed.
void RemoveFront(benchmark::State& state) {
  const int64_t count = state.range(0);
  for (auto _ : state) {
    if (!WriteFile(count)) return Fail(state, "writing the file failed");
    Clock::time_point start = Clock::now();
    FILE* file = nullptr;
    if (FileOpen(PathFor(count).c_str(), "r+b", &file) != 0 || ResOpenFile(file, 0) != 0)
      return Fail(state, "open failed");
    for (int64_t i = 0; i < count; ++i) {
      Handle h = nullptr;
      if (ResLoadResource(file, kType, 0, &h) != 0 || ResRemoveResource(h) != 0)
        return Fail(state, "removal failed");
    }
    if (ResCloseFile(file) != 0) return Fail(state, "close failed");
    state.SetIterationTime(Since(start));
  }
}

// A file of `count` resources, 16 to each of count / 16 types, added to the
// types in turn, then written (closed).
void TypesInTurn(benchmark::State& state) {
  const int64_t count = state.range(0);
  for (auto _ : state) {
    double seconds = 0;
    File* file = CreateAndAdd(count, &seconds, uint32_t(count / 16));
    if (file == nullptr) return Fail(state, "adding failed");
    Clock::time_point start = Clock::now();
    if (ResCloseFile(file) != 0) return Fail(state, "close failed");
    state.SetIterationTime(seconds + Since(start));
  }
}

// The file TypesInTurn writes, opened again (no room for more anywhere) and
// given 5 more resources to each type, type after type; the additions are
// timed.
void TypesOneAfterAnother(benchmark::State& state) {
  const int64_t count = state.range(0);
  const uint32_t types = uint32_t(count / 16);
  for (auto _ : state) {
    double seconds = 0;
    File* file = CreateAndAdd(count, &seconds, types);
    if (file == nullptr || ResCloseFile(file) != 0) return Fail(state, "writing the file failed");
    if (FileOpen(PathFor(count).c_str(), "r+b", &file) != 0 || ResOpenFile(file, 0) != 0)
      return Fail(state, "open failed");
    Clock::time_point start = Clock::now();
    for (uint32_t i = 0; i < 5 * types; ++i) {
      Handle h = MemNewHandle(kResourceSize);
      if (h == nullptr || ResAddResource(file, kType + i / 5, h) != 0)
        return Fail(state, "adding failed");
    }
    state.SetIterationTime(Since(start));
    ResCloseFile(file);
  }
}

// Opens the written file of `count` resources read-write with every resource
// loaded; their handles go to `loaded`.
File* OpenAllLoaded(int64_t count, std::vector<Handle>* loaded) {
  FILE* file = nullptr;
  if (FileOpen(PathFor(count).c_str(), "r+b", &file) != 0 || ResOpenFile(file, 0) != 0)
    return nullptr;
  loaded->assign(size_t(count), nullptr);
  for (int64_t i = 0; i < count; ++i)
    if (ResLoadResource(file, kType, uint32_t(i), &(*loaded)[size_t(i)]) != 0) return nullptr;
  return file;
}

// Every resource gets new bytes of the same size and is marked changed; with
// `each`, it is written back at once; then the file is flushed.
void RewriteInPlace(benchmark::State& state, bool each) {
  const int64_t count = state.range(0);
  std::vector<Handle> loaded;
  for (auto _ : state) {
    if (!WriteFile(count)) return Fail(state, "writing the file failed");
    File* file = OpenAllLoaded(count, &loaded);
    if (file == nullptr) return Fail(state, "loading every resource failed");
    Clock::time_point start = Clock::now();
    for (Handle h : loaded) {
      memset(h->data, 0x5A, kResourceSize);
      if (ResMarkChanged(h) != 0 || (each && ResWriteResource(h) != 0))
        return Fail(state, "writing back failed");
    }
    if (ResFlushFile(file) != 0) return Fail(state, "flush failed");
    state.SetIterationTime(Since(start));
    ResCloseFile(file);
  }
}

void RewriteFlush(benchmark::State& state) {
  RewriteInPlace(state, false);
}

void RewriteEach(benchmark::State& state) {
  RewriteInPlace(state, true);
}

void FreadWhole(benchmark::State& state) {
  const int64_t count = state.range(0);
  if (!WriteFile(count)) return Fail(state, "writing the file failed");
  std::vector<char> buffer(size_t(count) * kResourceSize * 2 + (1 << 20));
  for (auto _ : state) {
    Clock::time_point start = Clock::now();
    FILE* f = fopen(PathFor(count).c_str(), "rb");
    size_t got = fread(buffer.data(), 1, buffer.size(), f);
    fclose(f);
    state.SetIterationTime(Since(start));
    benchmark::DoNotOptimize(got);
  }
}

void FreadPieces(benchmark::State& state) {
  const int64_t count = state.range(0);
  if (!WriteFile(count)) return Fail(state, "writing the file failed");
  char piece[kResourceSize];
  for (auto _ : state) {
    Clock::time_point start = Clock::now();
    FILE* f = fopen(PathFor(count).c_str(), "rb");
    fseek(f, 32, SEEK_SET);
    for (int64_t i = 0; i < count; ++i)
      benchmark::DoNotOptimize(fread(piece, 1, kResourceSize, f));
    fclose(f);
    state.SetIterationTime(Since(start));
  }
}

// One benchmark per pair and file size, timed by the benchmark itself.
struct Bench {
  const char* name;
  void (*run)(benchmark::State&);
  bool shape;  // run at kShapeCounts, else at kCounts
};

void Register() {
  const Bench benches[] = {{"Add", Add, false},
                           {"Write", Write, false},
                           {"AddWriteMixed", AddWriteMixed, false},
                           {"LoadAll", LoadAll, false},
                           {"CompactAll", CompactAll, false},
                           {"RewriteFlush", RewriteFlush, false},
                           {"RewriteEach", RewriteEach, false},
                           {"FreadWhole", FreadWhole, false},
                           {"FreadPieces", FreadPieces, false},
                           {"ManyTypes", ManyTypes, true},
                           {"RemoveFront", RemoveFront, true},
                           {"TypesInTurn", TypesInTurn, true},
                           {"TypesOneAfterAnother", TypesOneAfterAnother, true}};
  for (const Bench& b : benches) {
    auto* bench = benchmark::RegisterBenchmark(b.name, b.run);
    for (int64_t count : b.shape ? kShapeCounts : kCounts)
      bench->Arg(count);
    bench->UseManualTime()->Unit(benchmark::kMillisecond);
  }
}

// Shows every run as usual and keeps the median (or only) time of each.
class TableReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      seconds_[run.run_name.str()] = run.GetAdjustedRealTime() / 1e3;  // ms to s
      for (const auto& [name, counter] : run.counters)
        seconds_[run.run_name.str() + "/" + name] = counter.value / 1e3;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double Seconds(const std::string& name, int64_t count, const std::string& counter = "") {
    std::string run = name + "/" + std::to_string(count) + "/manual_time";
    return seconds_[counter.empty() ? run : run + "/" + counter];
  }

 private:
  std::map<std::string, double> seconds_;
};

}  // namespace

int main(int argc, char** argv) {
  if (MemStart(0x10000000) != 0) return 1;
  ResInit();
  Register();
  benchmark::Initialize(&argc, argv);
  TableReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n== summary: resource files of 64-byte resources (median wall time)\n");
  std::printf(
      "| resources | add all | write (close) | add + write | add + write, 16 types |"
      " load every one | compact all (flush) | rewrite all in place, flush |"
      " rewrite all in place, each written back, flush | fread whole file |"
      " fread in 64-byte pieces |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
  for (int64_t count : kCounts) {
    auto ms = [&](const char* name) { return reporter.Seconds(name, count) * 1e3; };
    std::printf(
        "| %lld | %.1f ms | %.1f ms | %.1f ms | %.1f ms | %.1f ms (%.2f us each) | %.1f ms |",
        static_cast<long long>(count), ms("Add"), ms("Write"), ms("Add") + ms("Write"),
        ms("AddWriteMixed"), ms("LoadAll"), ms("LoadAll") * 1e3 / double(count), ms("CompactAll"));
    std::printf(" %.1f ms | %.1f ms | %.2f ms | %.2f ms |\n", ms("RewriteFlush"), ms("RewriteEach"),
                ms("FreadWhole"), ms("FreadPieces"));
  }
  std::printf(
      "\n== summary: shapes of file (median wall time; in brackets, times the 4k figure)\n");
  std::printf(
      "| resources | types of one resource: add all | close | reopen + every lookup | total |"
      " one type removed from the front: open + remove all + close |"
      " 16 to each type, types in turn: add all + close |"
      " the same read back, 5 more to each type, type after type: add |\n");
  std::printf("|---|---|---|---|---|---|---|---|\n");
  const int64_t base = kShapeCounts[0];
  for (int64_t count : kShapeCounts) {
    auto ms = [&](const char* name, const char* counter = "") {
      return reporter.Seconds(name, count, counter) * 1e3;
    };
    auto growth = [&](const char* name) {
      return reporter.Seconds(name, count) / reporter.Seconds(name, base);
    };
    std::printf(
        "| %lld | %.1f ms | %.1f ms | %.1f ms | %.1f ms (%.1fx) | %.1f ms (%.1fx) |"
        " %.1f ms (%.1fx) | %.1f ms (%.1fx) |\n",
        static_cast<long long>(count), ms("ManyTypes", "add_ms"), ms("ManyTypes", "close_ms"),
        ms("ManyTypes", "lookup_ms"), ms("ManyTypes"), growth("ManyTypes"), ms("RemoveFront"),
        growth("RemoveFront"), ms("TypesInTurn"), growth("TypesInTurn"), ms("TypesOneAfterAnother"),
        growth("TypesOneAfterAnother"));
  }
  for (int64_t count : kCounts)
    remove(PathFor(count).c_str());
  benchmark::Shutdown();
  return 0;
}
