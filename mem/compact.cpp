// Compaction: one pass over the block list that merges runs of free blocks
// and slides unlocked blocks down over the free space before them.
#include "mem/index.h"

uint32_t memCompactions = 0;

BlockDesc* MemSlideBlock(BlockDesc* f) {
  Heap* heap = memCurrentHeap;
  BlockDesc* u = f->next;
  // The heap's last block may have been handed out whole with a size that is
  // not a word multiple; moving it would leave the free block behind it off
  // the word boundary, so that odd tail stays with the free block.
  if (u->next == nullptr) {
    const uint32_t odd = u->blockSize % kOwnerSize;
    u->blockSize -= odd;
    f->blockSize += odd;
    heap->freeBytes += odd;
  }
  std::memmove(BlockStart(f), BlockStart(u), u->blockSize);
  u->data = f->data;
  f->data = static_cast<char*>(f->data) + u->blockSize;
  WriteOwner(f);

  BlockDesc* before = f->prev;
  BlockDesc* after = u->next;
  MemLinkPair(heap, before, u);
  MemLinkPair(heap, u, f);
  MemLinkPair(heap, f, after);
  return f;
}

void MemCompactHeap() {
  ++memCompactions;
  Heap* heap = memCurrentHeap;
  MemIndexSuspend(heap);
  BlockDesc* cur = heap->firstBlock;
  while (cur->next != nullptr) {
    BlockDesc* nxt = cur->next;
    if (!IsFree(cur) || IsLocked(nxt)) {
      cur = nxt;
    } else if (IsFree(nxt)) {
      uint32_t merged = cur->blockSize + nxt->blockSize;  // cur keeps its chain position
      MemReleaseDesc(nxt);
      MemReshapeFree(heap, cur, static_cast<char*>(cur->data), merged);
    } else if (nxt->next != nullptr && IsLocked(nxt->next)) {
      cur = nxt;  // sliding would only move the gap up against the locked block
    } else {
      MemSlideBlock(cur);
    }
  }
  MemIndexRebuild(heap);
}
