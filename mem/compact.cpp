// Compaction: one pass over the block list that merges runs of free blocks
// and slides unlocked blocks down over the free space before them.
//
// The pass gives, byte for byte, the heap that sliding one block at a time
// gives: a free block f meets the blocks after it in turn; a free one is
// merged into f (its descriptor released); an unlocked one slides down to
// f's place, and f, with the same size, follows it; f stops in front of a
// locked block, in front of an unlocked block followed by a locked one, or
// at the end. Blocks that slide between two merges all move down by f's
// size at that time, so they travel in one memmove (made a few dozen runs
// later, its lines prefetched meanwhile, see Runs); the block list is
// relinked once per stretch, and the free-block index is rebuilt once at the
// end of the pass.
#include "mem/counters.h"
#include "mem/debug.h"
#include "mem/index.h"

namespace okr_mem {

uint32_t memCompactions = 0;

namespace {

// Runs of blocks that move down together, each made a few dozen runs after
// the walk found it. A move reads and writes lines that no cache holds yet
// and waits on every one of them; asked for as soon as the walk knows them,
// they are on their way while the walk and the moves before go on. The moves keep
// their order, and each reads only bytes that no earlier move of the pass
// has written.
class Runs {
 public:
  // Adds `bytes` at `from`, which go to `to`: to the open run if there is one.
  void Add(char* from, char* to, size_t bytes) {
    Prefetch(from, to, bytes);
    if (open_) {
      At(count_ - 1).bytes += bytes;
      return;
    }
    if (count_ == kLag) MoveOldest();
    At(count_++) = Run{from, to, bytes};
    open_ = true;
  }
  // The next block moves by another distance: it starts a new run.
  void Close() { open_ = false; }
  // Makes every move still waiting.
  void Move() {
    while (count_ > 0)
      MoveOldest();
    open_ = false;
  }

 private:
  // A power of two: At's modulo is a mask. (A 32-bit build, which asks for
  // no more than the first line, makes each move as soon as the next run
  // starts.)
  static constexpr uint32_t kLag = sizeof(void*) == 8 ? 64 : 1;
  // Past the first few KiB of a block the processor's own prefetcher has
  // seen the stream. (A 32-bit build asks for the first line alone: there
  // the instructions that ask cost more than the waits they save.)
  static constexpr size_t kPrefetchBytes = sizeof(void*) == 8 ? 4096 : 64;
  static constexpr size_t kLine = 64;
  struct Run {
    char* from;
    char* to;
    size_t bytes;
  };
  // Asks for the lines of `bytes` at `from`, to be read, and at `to`, to be
  // written, to be brought into the second level cache (the first is too
  // small for a few dozen blocks). A line to be written is asked for as one
  // to be written: the move then finds it ready to take the store.
  static void Prefetch(const char* from, char* to, size_t bytes) {
    const size_t n = std::min(bytes, kPrefetchBytes);
    for (size_t i = 0; i < n; i += kLine) {
      __builtin_prefetch(from + i, 0, 2);
      __builtin_prefetch(to + i, 1, 2);
    }
  }
  // The i-th waiting run, oldest first.
  Run& At(uint32_t i) { return runs_[(first_ + i) % kLag]; }
  void MoveOldest() {
    const Run& run = runs_[first_];
    std::memmove(run.to, run.from, run.bytes);
    first_ = (first_ + 1) % kLag;
    --count_;
  }
  Run runs_[kLag];
  uint32_t first_ = 0;
  uint32_t count_ = 0;
  bool open_ = false;
};

// Taking a merged block out of the chain writes to two descriptors anywhere
// in the pools. A 64-bit build does it as the pass meets the block, its
// lines asked for some way ahead (Lookahead), while the moves' lines, asked
// for well ahead too, are on their way. A 32-bit build, whose moves wait on
// their lines, does it after the pass's moves (LeaveChain): those writes
// among the moves slow the moves down (every other block free, medians of
// five runs on a busy machine: 0.76 of the speed of the same moves made
// alone, 0.79 with the writes after them; one block in 8: 0.87, 0.89).
constexpr bool kLeaveChainAfterMoves = sizeof(void*) == 4;

// Walks the block list some way ahead of the pass and asks the caches for
// the chain neighbours of the free blocks it meets.
class Lookahead {
 public:
  explicit Lookahead(BlockDesc* from) : at_(from) {
    for (int i = 0; i < kDistance; ++i)
      Step();
  }
  void Step() {
    if (kLeaveChainAfterMoves || at_ == nullptr) return;
    at_ = at_->next;
    if (at_ != nullptr && IsFree(at_)) {
      __builtin_prefetch(at_->prevFree, 1);
      __builtin_prefetch(at_->nextFree, 1);
    }
  }

 private:
  static constexpr int kDistance = 16;
  BlockDesc* at_;
};

// Makes `d` follow `prev` in the block list, unless it already does. (Merged
// blocks leave the list without their neighbours being told, so a block
// after one still names it as its prev.)
void Follow(BlockDesc* prev, BlockDesc* d) {
  if (d->prev == prev) return;
  d->prev = prev;
  prev->next = d;
}

// Takes the free blocks a pass merged out of the chain, in the order the
// pass met them, `first` the first: they lie on the spare stack from first
// up to its top (each one's prev names the one pushed after it), and a spare
// descriptor keeps its chain links until then. In that order the links left
// behind in the descriptors are those of merging one block at a time. Their
// neighbours' lines are asked for a few descriptors ahead.
void LeaveChain(Heap* heap, BlockDesc* first) {
  constexpr int kAhead = 16;
  BlockDesc* ahead = first;
  for (int i = 0; i < kAhead && ahead != nullptr; ++i)
    ahead = ahead->prev;
  for (BlockDesc* d = first; d != nullptr; d = d->prev) {
    if (ahead != nullptr) {
      __builtin_prefetch(ahead->prevFree, 1);
      __builtin_prefetch(ahead->nextFree, 1);
      ahead = ahead->prev;
    }
    MemChainUnlink(heap, d);
  }
}

// Free block `f` meets the blocks after it (see the top of the file). Returns
// the block in front of which f stops, or NULL at the end of the heap; adds
// the bytes it moves to `moved`.
BlockDesc* CompactFrom(Heap* heap, BlockDesc* f, uint64_t& moved) {
  OKR_MEM_ASSERT(IsFree(f) && IndexOf(heap)->suspended);
  BlockDesc* last = f->prev;  // the block list up to here is final
  char* to = BlockStart(f);   // where the next sliding block goes
  // Kept in registers until the end: what f takes in, the bytes moved, and
  // the spare stack the merged descriptors go to, in the same order.
  MemWord grown = 0;
  MemWord bytes = 0;
  BlockDesc* spares = heap->freeMasters;
  BlockDesc* merged = nullptr;  // the first block merged
  Runs runs;
  BlockDesc* x = f->next;
  Lookahead ahead(x);
  while (x != nullptr && !IsLocked(x)) {
    ahead.Step();
    BlockDesc* after = x->next;
    if (IsFree(x)) {
      runs.Close();
      grown += x->blockSize;
      if (!kLeaveChainAfterMoves) MemChainUnlink(heap, x);
      if (merged == nullptr) merged = x;
      MemPushSpareOnto(spares, x);  // its neighbours in the block list are relinked below
      x = after;
      continue;
    }
    if (after != nullptr && IsLocked(after)) break;  // it would only move the gap up to the lock
    if (after == nullptr) {
      // The heap's last block may have an odd size; moved whole, it would
      // leave f off the word boundary, so its odd tail goes to f.
      const uint32_t odd = x->blockSize % kOwnerSize;
      x->blockSize -= odd;
      grown += odd;
      heap->freeBytes += odd;
    }
    runs.Add(BlockStart(x), to, x->blockSize);
    bytes += x->blockSize;
    void* const from = x->data;
    x->data = to + kOwnerSize;
    MemDebugSlid(heap, x, from);
    Follow(last, x);
    last = x;
    to += x->blockSize;
    x = after;
  }
  runs.Move();
  if (kLeaveChainAfterMoves) LeaveChain(heap, merged);
  heap->freeMasters = spares;
  moved += bytes;
  f->blockSize += static_cast<uint32_t>(grown);
  f->data = to + kOwnerSize;
  WriteOwner(f);
  Follow(last, f);
  f->next = x;
  if (x != nullptr) x->prev = f;
  return x;
}

}  // namespace

void MemCompactHeap() {
  ++memCompactions;
  Heap* heap = memCurrentHeap;
  HeapCounters& counters = CountersOf(heap);
  ++counters.compactions;
  MemDebugCompacting(heap);
  MemIndexSuspend(heap);
  for (BlockDesc* cur = heap->firstBlock; cur != nullptr && cur->next != nullptr;) {
    cur = IsFree(cur) ? CompactFrom(heap, cur, counters.bytesCompacted) : cur->next;
  }
  MemIndexRebuild(heap);
  MemDebugCompacted(heap);
}

}  // namespace okr_mem

using namespace okr_mem;

ErrCode MemCompact(Heap* heapArg) {
  Heap* heap = heapArg != nullptr ? heapArg : memCurrentHeap;
  if (heap == nullptr) return errMemNotStarted;
  if (!MemIsValidHeap(heap)) return errMemBadHeap;
  // The pass works on the current heap: `heap` is selected for its length.
  Heap* current = memCurrentHeap;
  memCurrentHeap = heap;
  MemDebugScrambleBegin(heap);
  MemCompactHeap();
  MemDebugScrambleEnd(heap);
  memCurrentHeap = current;
  return errNone;
}

#ifdef OKR_FAULT_INJECTION
// An injected allocation failure moves what a real one would have moved
// before it failed: in scramble mode every unlocked block to fresh bytes,
// and then the heap compacted.
void MemFaultMoves() {
  Heap* heap = memCurrentHeap;
  if (heap == nullptr || !MemIsValidHeap(heap)) return;
  MemDebugScrambleBegin(heap);
  MemCompactHeap();
  MemDebugScrambleEnd(heap);
}
#endif
