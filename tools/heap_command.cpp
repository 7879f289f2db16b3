// okr heap: a randomized workload on a heap of its own, its statistics
// before and after a compaction, and optionally an SVG map of both states.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "cli.h"
#include "command.h"
#include "heap_map.h"
#include "output.h"

namespace okr_tool {

namespace {

// Descriptors per pool: a pool extension is a locked block that compaction
// cannot move, so the heap starts with room for a few hundred handles, as
// long as the pool takes at most an eighth of the heap.
uint32_t MastersFor(uint32_t heapSize) {
  const uint64_t fit = heapSize / 8 / sizeof(BlockDesc);
  return static_cast<uint32_t>(std::clamp<uint64_t>(fit, 64, 512));
}

// A block the workload holds, and the byte it is filled with.
struct LiveBlock {
  Handle handle;
  void* pointer;  // a locked pointer's data address, else null
  uint32_t size;
  uint8_t fill;
};

struct Counts {
  uint64_t allocations = 0, refused = 0, disposals = 0, resizes = 0, resizesRefused = 0,
           lockChanges = 0;
};

// The workload: allocations of mostly small blocks, disposals, resizes,
// locks and locked pointers, in proportions that keep the heap busy but not
// full. The generator is the tool's own (splitmix64), so a seed gives the
// same operations everywhere.
class Workload {
 public:
  Workload(uint64_t seed, uint32_t heapSize) : state_(seed), heapSize_(heapSize) {}

  void Step() {
    const uint64_t percent = Next() % 100;
    const uint64_t allocate = live_ * 10 < uint64_t{heapSize_} * 6 ? 50 : 30;
    if (blocks_.empty() || percent < allocate) {
      Allocate(Next() % 100 < 2);
    } else if (percent < allocate + 30) {
      Dispose(Next() % blocks_.size());
    } else if (percent < allocate + 42) {
      Resize(Next() % blocks_.size());
    } else {
      ToggleLock(Next() % blocks_.size());
    }
  }

  // Index of the first block whose bytes changed, or -1.
  long FirstDamaged() const {
    for (size_t i = 0; i < blocks_.size(); ++i) {
      const auto* bytes = static_cast<const uint8_t*>(blocks_[i].handle->data);
      for (uint32_t k = 0; k < blocks_[i].size; ++k) {
        if (bytes[k] != blocks_[i].fill) return static_cast<long>(i);
      }
    }
    return -1;
  }

  size_t LiveBlocks() const { return blocks_.size(); }
  const Counts& counts() const { return counts_; }

 private:
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

  // Mostly small blocks, some medium, a few large for the heap's size.
  uint32_t RandomSize() {
    const uint64_t kind = Next() % 100;
    if (kind < 60) return static_cast<uint32_t>(8 + Next() % 120);
    if (kind < 90) return static_cast<uint32_t>(128 + Next() % 896);
    const uint64_t large = std::max<uint64_t>(1024, std::min<uint64_t>(8192, heapSize_ / 32));
    return static_cast<uint32_t>(1024 + Next() % large);
  }

  void Fill(LiveBlock& b) {
    b.fill = static_cast<uint8_t>(Next());
    std::memset(b.handle->data, b.fill, b.size);
  }

  void Allocate(bool pointer) {
    LiveBlock b{nullptr, nullptr, RandomSize(), 0};
    if (pointer) {
      b.pointer = MemNewPtr(b.size);
      b.handle = MemPtrToHandle(b.pointer);
    } else {
      b.handle = MemNewHandle(b.size);
    }
    if (b.handle == nullptr) {
      ++counts_.refused;
      return;
    }
    ++counts_.allocations;
    Fill(b);
    live_ += b.size;
    blocks_.push_back(b);
  }

  void Dispose(size_t i) {
    LiveBlock& b = blocks_[i];
    const ErrCode err = b.pointer ? MemDisposePtr(b.pointer) : MemDisposeHandle(b.handle);
    if (err != errNone) Fail("heap: disposing of a block", err);
    ++counts_.disposals;
    live_ -= b.size;
    b = blocks_.back();
    blocks_.pop_back();
  }

  void Resize(size_t i) {
    LiveBlock& b = blocks_[i];
    if (b.pointer != nullptr) return;
    const uint32_t size = RandomSize();
    ++counts_.resizes;
    // A locked block that would have to move, or no room: refused.
    if (MemSetHandleSize(b.handle, size) != errNone) {
      ++counts_.resizesRefused;
      return;
    }
    live_ = live_ - b.size + size;
    b.size = size;
    Fill(b);
  }

  // Locks are kept few: a locked block is an island compaction cannot move.
  void ToggleLock(size_t i) {
    LiveBlock& b = blocks_[i];
    if (b.pointer != nullptr) return;
    if (MemGetFlags(b.handle) & memFlagLocked) {
      if (ErrCode err = MemUnlockHandle(b.handle)) Fail("heap: unlocking a block", err);
      --locked_;
    } else if (locked_ * 40 < blocks_.size()) {
      if (ErrCode err = MemLockHandle(b.handle)) Fail("heap: locking a block", err);
      ++locked_;
    } else {
      return;
    }
    ++counts_.lockChanges;
  }

  uint64_t state_;
  uint32_t heapSize_;
  uint64_t live_ = 0;
  size_t locked_ = 0;
  std::vector<LiveBlock> blocks_;
  Counts counts_;
};

// Statistics of the current heap at one moment.
struct Snapshot {
  MemHeapInfo info;
  ErrCode check;
  HeapPicture picture;
};

Snapshot Take(const std::string& title) {
  Snapshot s{};
  if (ErrCode err = MemGetHeapInfo(nullptr, &s.info)) Fail("heap", err);
  s.check = MemCheckHeap(nullptr);
  s.picture = TakePicture(memCurrentHeap, title);
  return s;
}

void PrintRow(const char* label, uint64_t before, uint64_t after) {
  std::printf("  %-22s %18s %18s\n", label, std::to_string(before).c_str(),
              std::to_string(after).c_str());
}

void PrintStatistics(const Snapshot& a, const Snapshot& b) {
  std::printf("  %-22s %18s %18s\n", "", "before compaction", "after compaction");
  PrintRow("blocks", a.picture.blocks.size(), b.picture.blocks.size());
  PrintRow("  in use", a.info.blocksInUse, b.info.blocksInUse);
  PrintRow("  of them locked", a.info.blocksLocked, b.info.blocksLocked);
  PrintRow("  free", a.info.blocksFree, b.info.blocksFree);
  PrintRow("  pools", a.info.poolExtensions + 1, b.info.poolExtensions + 1);
  PrintRow("free bytes", a.info.freeBytes, b.info.freeBytes);
  PrintRow("largest free block", a.info.largestFree, b.info.largestFree);
  PrintRow("descriptors in use", a.info.descsInUse, b.info.descsInUse);
  PrintRow("descriptors spare", a.info.descsSpare, b.info.descsSpare);
  PrintRow("compactions so far", a.info.compactions, b.info.compactions);
  std::printf("  %-22s %18s %18s\n", "heap check", ErrGetText(a.check), ErrGetText(b.check));
}

std::string StateLine(const Snapshot& s) {
  return Format("%s: %s free in %s, the largest %s", s.picture.title.c_str(),
                Count(s.info.freeBytes, "byte").c_str(), Count(s.info.blocksFree, "block").c_str(),
                Count(s.info.largestFree, "byte").c_str());
}

// What the command line asks of okr heap.
struct HeapOptions {
  uint64_t ops;
  uint64_t seed;
  uint32_t size;
  std::string sizeText;  // as given, for errors
  std::string svg;       // empty: no map
};

HeapOptions ParseHeapOptions(const Args& args) {
  const std::string opsText = args.Value("--ops", "20000");
  const std::string seedText = args.Value("--seed", "1");
  const std::string sizeText = args.Value("--size", "1M");
  HeapOptions options;
  options.ops = ParseNumber(opsText, "--ops " + opsText, 1000000000);
  options.seed = ParseNumber(seedText, "--seed " + seedText, UINT64_MAX);
  options.size = static_cast<uint32_t>(ParseByteCount(sizeText, "--size " + sizeText, 0xFFFFFFFFu));
  options.sizeText = sizeText;
  // MemNewHeap takes 0 for its default size, which the output would then
  // misname as a heap of 0 bytes.
  if (options.size == 0) UsageFail("--size " + sizeText, errBadData, "a heap of no bytes");
  if (args.Has("--svg")) options.svg = args.Value("--svg", "");
  return options;
}

// Runs `ops` steps of the workload, with progress on a terminal.
void RunWorkload(Workload& workload, uint64_t ops) {
  Progress progress("heap workload", ops);
  for (uint64_t i = 0; i < ops; ++i) {
    if (i % 256 == 0) progress.Update(i);
    workload.Step();
  }
}

void PrintCounts(const Counts& c) {
  std::printf(
      "  %s allocations (%s refused), %s disposals, %s resizes (%s refused), %s lock "
      "changes\n",
      std::to_string(c.allocations).c_str(), std::to_string(c.refused).c_str(),
      std::to_string(c.disposals).c_str(), std::to_string(c.resizes).c_str(),
      std::to_string(c.resizesRefused).c_str(), std::to_string(c.lockChanges).c_str());
}

int HeapWorkload(const Args& args) {
  const HeapOptions o = ParseHeapOptions(args);
  Heap* heap = nullptr;
  if (ErrCode err = MemNewHeap(nullptr, MastersFor(o.size), nullptr, o.size, &heap)) {
    // The only reason for 0x4602 here is a size the command line chose.
    if (err == errMemBadHeap)
      UsageFail("--size " + o.sizeText, err, "too small for the heap's header and descriptor pool");
    Fail(Format("heap of %u bytes", o.size), err);
  }
  if (ErrCode err = MemSetHeap(heap)) Fail("heap", err);
  // The map's file is made first: a path it cannot have fails before the run.
  std::optional<OutputFile> map;
  if (!o.svg.empty()) map.emplace(o.svg);
  Workload workload(o.seed, o.size);
  RunWorkload(workload, o.ops);
  const Snapshot before = Take("before compaction");
  if (ErrCode err = MemCompact(heap)) Fail("heap: compaction", err);
  const Snapshot after = Take("after compaction");
  const std::string headline =
      Format("heap of %u bytes, %s operations, seed %s", o.size, std::to_string(o.ops).c_str(),
             std::to_string(o.seed).c_str());
  std::printf("%s\n", headline.c_str());
  PrintCounts(workload.counts());
  PrintStatistics(before, after);
  const long damaged = workload.FirstDamaged();
  if (damaged >= 0) Fail(Format("heap: block %ld lost its contents", damaged), errBadData);
  std::printf("  contents of all %zu live blocks intact after compaction\n", workload.LiveBlocks());
  if (!o.svg.empty()) {
    const std::string svg =
        HeapSvg({before.picture, after.picture}, {headline, StateLine(before), StateLine(after)});
    map->Finish(svg.data(), svg.size());
    std::printf("heap map: %s (open it in a web browser)\n", o.svg.c_str());
  }
  // The map is drawn first: it shows what the check found.
  if (before.check != errNone) Fail("heap check before compaction", before.check);
  if (after.check != errNone) Fail("heap check after compaction", after.check);
  MemDisposeAllHeaps();
  return 0;
}

}  // namespace

const CommandSpec kHeap{
    "heap",
    kHeapGroup,
    "",
    0,
    0,
    {{"--ops", "N", "operations to run (20000)"},
     {"--seed", "S", "seed of the random operations (1); a seed repeats a run"},
     {"--size", "BYTES",
      "size of the heap (1M), at least 5K (its header and\n"
      "descriptors); K and M suffixes count KiB and MiB"},
     {"--svg", "OUT.svg",
      "draw a heap map before and after compaction: blocks in\n"
      "address order, row by row, coloured by kind (descriptor pools,\n"
      "blocks in use, locked blocks, free blocks; neighbours of one\n"
      "kind alternate in shade), the locked blocks that hold a gap\n"
      "in front of them outlined, with a legend and a scale. Open it\n"
      "in a web browser; hover a block for its place and size."}},
    "a random workload, statistics and a map",
    R"(Creates a heap and runs a random workload on it: allocations of mostly small
blocks, disposals, resizes, locks and locked pointers. Then prints the heap's
statistics, compacts the heap (MemCompact), prints them again, and checks
that every live block kept its contents.
)",
    "",
    HeapWorkload};

}  // namespace okr_tool
