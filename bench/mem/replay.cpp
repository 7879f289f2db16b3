// A profiler's driver: replays one sequence of the benchmarks once on an okr
// heap (or on malloc), untimed, so that `valgrind --tool=callgrind` or
// `perf record` see the block operations alone. Built for both word sizes as
// okr_mem_replay; needs no Google Benchmark.
//
//   okr_mem_replay [workload|parser|editor|frame] [--holes] [--malloc] [--times=N]
//
// --holes replays among 10,000 free blocks kept apart by locked blocks, as
// the benchmarks' "10,000 free" rows do; --times replays N times (default 1).
#include <okr/mem.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "traces.h"

namespace {

constexpr uint32_t kHeapSize = 0x1000000;
constexpr uint32_t kMasters = 32768;
constexpr size_t kHoles = 10'000;

struct Options {
  std::string trace = "workload";
  bool holes = false;
  bool malloc = false;
  int times = 1;
};

[[noreturn]] void Usage() {
  std::fprintf(stderr,
               "usage: okr_mem_replay [workload|parser|editor|frame] [--holes] [--malloc] "
               "[--times=N]\n");
  std::exit(2);
}

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--holes") {
      o.holes = true;
    } else if (a == "--malloc") {
      o.malloc = true;
    } else if (a.rfind("--times=", 0) == 0) {
      o.times = std::atoi(a.c_str() + 8);
    } else if (a.rfind("--", 0) == 0) {
      Usage();
    } else {
      o.trace = a;
    }
  }
  return o;
}

Workload Make(const std::string& name) {
  Workload w;
  if (!MakeTraceNamed(name, &w)) Usage();
  return w;
}

struct OkrSource {
  static void* New(uint32_t n) { return MemNewHandle(n); }
  static void Dispose(void* p) { MemDisposeHandle(static_cast<Handle>(p)); }
  static void Resize(void*& p, uint32_t n) {
    if (MemSetHandleSize(static_cast<Handle>(p), n) != 0) std::abort();
  }
  static void Pin(void* p) { MemLockHandle(static_cast<Handle>(p)); }
};

struct MallocSource {
  static void* New(uint32_t n) { return std::malloc(n); }
  static void Dispose(void* p) { std::free(p); }
  static void Resize(void*& p, uint32_t n) {
    p = std::realloc(p, n);
    if (p == nullptr) std::abort();
  }
  static void Pin(void*) {}
};

// Out of line: a profiler collects from it alone.
template <class Source>
__attribute__((noinline)) void Run(const Workload& w, const Options& o) {
  std::vector<void*> pins(o.holes ? 2 * kHoles : 0);
  for (void*& p : pins)
    p = Source::New(8);
  for (size_t i = 0; i < pins.size(); i += 2) {
    Source::Dispose(pins[i]);
    Source::Pin(pins[i + 1]);
  }
  std::vector<void*> slots(w.slotCount);
  for (int t = 0; t < o.times; ++t) {
    for (const MemOp& op : w.ops) {
      switch (op.kind) {
        case MemOpKind::kNew:
          slots[op.slot] = Source::New(op.size);
          if (slots[op.slot] == nullptr) std::abort();
          break;
        case MemOpKind::kDispose:
          Source::Dispose(slots[op.slot]);
          break;
        case MemOpKind::kResize:
          Source::Resize(slots[op.slot], op.size);
          break;
      }
    }
    for (uint32_t s : w.finalSlots)
      Source::Dispose(slots[s]);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = Parse(argc, argv);
  const Workload w = Make(o.trace);
  if (o.malloc) {
    Run<MallocSource>(w, o);
  } else {
    Heap* heap = nullptr;
    if (MemNewHeap(nullptr, kMasters, nullptr, kHeapSize, &heap) != 0) return 1;
    MemSetHeap(heap);
    Run<OkrSource>(w, o);
    if (MemCheckHeap(heap) != 0) {
      std::fprintf(stderr, "MemCheckHeap failed after the replay\n");
      return 1;
    }
    MemDisposeHeap(&heap);
  }
  std::printf("%s: %zu operations replayed %d time(s)\n", o.trace.c_str(), w.ops.size(), o.times);
  return 0;
}
