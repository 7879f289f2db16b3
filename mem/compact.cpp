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
#include "mem/debug.h"
#include "mem/index.h"

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
  static constexpr uint32_t kLag = 64;  // a power of two: At's modulo is a mask
  // Past the first few KiB of a block the processor's own prefetcher has
  // seen the stream.
  static constexpr size_t kPrefetchBytes = 4096;
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

// Walks the block list some way ahead of the pass and asks the caches for
// the chain neighbours of the free blocks it meets: taking a merged block out
// of the chain writes to two descriptors anywhere in the pools.
class Lookahead {
 public:
  explicit Lookahead(BlockDesc* from) : at_(from) {
    for (int i = 0; i < kDistance; ++i)
      Step();
  }
  void Step() {
    if (at_ == nullptr) return;
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

// Free block `f` meets the blocks after it (see the top of the file). Returns
// the block in front of which f stops, or NULL at the end of the heap; adds
// the bytes it moves to `moved`.
BlockDesc* CompactFrom(Heap* heap, BlockDesc* f, uint64_t& moved) {
  BlockDesc* last = f->prev;  // the block list up to here is final
  char* to = BlockStart(f);   // where the next sliding block goes
  uint64_t bytes = 0;
  Runs runs;
  BlockDesc* x = f->next;
  Lookahead ahead(x);
  while (x != nullptr && !IsLocked(x)) {
    ahead.Step();
    BlockDesc* after = x->next;
    if (IsFree(x)) {
      runs.Close();
      f->blockSize += x->blockSize;
      MemChainUnlink(heap, x);  // its neighbours in the block list are relinked below
      MemPushSpare(heap, x);
      x = after;
      continue;
    }
    if (after != nullptr && IsLocked(after)) break;  // it would only move the gap up to the lock
    if (after == nullptr) {
      // The heap's last block may have an odd size; moved whole, it would
      // leave f off the word boundary, so its odd tail goes to f.
      const uint32_t odd = x->blockSize % kOwnerSize;
      x->blockSize -= odd;
      f->blockSize += odd;
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
  moved += bytes;
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

ErrCode MemCompact(Heap* heapArg) {
  Heap* heap = heapArg != nullptr ? heapArg : memCurrentHeap;
  if (heap == nullptr) return errMemNotStarted;
  if (heap->magic != kHeapMagic) return errMemBadHeap;
  // The pass works on the current heap: `heap` is selected for its length.
  Heap* current = memCurrentHeap;
  memCurrentHeap = heap;
  MemDebugScrambleBegin(heap);
  MemCompactHeap();
  MemDebugScrambleEnd(heap);
  memCurrentHeap = current;
  return errNone;
}
