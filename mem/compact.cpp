// Compaction: one pass over the block list that merges runs of free blocks
// and slides unlocked blocks down over the free space before them.
//
// The pass gives, byte for byte, the heap that sliding one block at a time
// gives: a free block f meets the blocks after it in turn; a free one is
// merged into f (its descriptor released); an unlocked one slides down to
// f's place, and f, with the same size, follows it; f stops in front of a
// locked block, in front of an unlocked block followed by a locked one, or
// at the end. Blocks that slide between two merges all move down by f's
// size at that time, so they travel in one memmove; the block list is
// relinked once per stretch, and the free-block index is rebuilt once at
// the end of the pass.
#include "mem/index.h"

uint32_t memCompactions = 0;

namespace {

// A run of blocks that move down together.
struct Run {
  char* from = nullptr;
  char* to = nullptr;
  size_t bytes = 0;

  void Flush() {
    if (bytes != 0) std::memmove(to, from, bytes);
    bytes = 0;
  }
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
// the block in front of which f stops, or NULL at the end of the heap.
BlockDesc* CompactFrom(Heap* heap, BlockDesc* f) {
  BlockDesc* last = f->prev;  // the block list up to here is final
  char* to = BlockStart(f);   // where the next sliding block goes
  Run run;
  BlockDesc* x = f->next;
  while (x != nullptr && !IsLocked(x)) {
    BlockDesc* after = x->next;
    if (IsFree(x)) {
      run.Flush();
      f->blockSize += x->blockSize;
      MemUnlinkFree(x);  // its neighbours in the block list are relinked below
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
    if (run.bytes == 0) {
      run.from = BlockStart(x);
      run.to = to;
    }
    run.bytes += x->blockSize;
    x->data = to + kOwnerSize;
    Follow(last, x);
    last = x;
    to += x->blockSize;
    x = after;
  }
  run.Flush();
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
  MemIndexSuspend(heap);
  for (BlockDesc* cur = heap->firstBlock; cur != nullptr && cur->next != nullptr;) {
    cur = IsFree(cur) ? CompactFrom(heap, cur) : cur->next;
  }
  MemIndexRebuild(heap);
}
