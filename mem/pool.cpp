// Master-pointer pools: formatting descriptors, the stack of spare ones, and
// growing a heap's pool by one extension block when the stack runs dry.
#include "mem/debug.h"

void MemFormatMasters(BlockDesc* entries, uint32_t count, BlockDesc* tail) {
  for (uint32_t i = 0; i < count; ++i) {
    BlockDesc* d = &entries[i];
    *d = BlockDesc{};
    d->data = SpareData();
    d->tag = kMasterTag;
    d->prev = i > 0 ? &entries[i - 1] : nullptr;
    d->next = i + 1 < count ? &entries[i + 1] : tail;
  }
  if (tail != nullptr && count > 0) tail->prev = &entries[count - 1];
}

BlockDesc* MemPopSpareDesc(Heap* heap) {
  BlockDesc* d = heap->freeMasters;
  if (d == nullptr) return nullptr;
  heap->freeMasters = d->next;
  if (d->next != nullptr) d->next->prev = nullptr;
  return d;
}

BlockDesc* MemTakeDesc() {
  Heap* heap = memCurrentHeap;
  if (heap->freeMasters == nullptr) MemGrowMasters();
  return MemPopSpareDesc(heap);
}

void MemPushSpare(Heap* heap, BlockDesc* d) {
  d->data = SpareData();
  d->prev = nullptr;
  d->next = heap->freeMasters;
  if (heap->freeMasters != nullptr) heap->freeMasters->prev = d;
  heap->freeMasters = d;
}

void MemReleaseDesc(BlockDesc* d) {
  if (IsFree(d)) MemUnlinkFree(d);
  d->prev->next = d->next;
  if (d->next != nullptr) d->next->prev = d->prev;
  MemPushSpare(memCurrentHeap, d);
}

ErrCode MemGrowMasters() {
  Heap* heap = memCurrentHeap;
  memLastError = errNone;
  // The extension is not raised to the granule: masterCount descriptors plus
  // the owner word.
  auto poolBytes = static_cast<MemWord>(heap->masterCount) * sizeof(BlockDesc);
  auto size = static_cast<uint32_t>(poolBytes + kOwnerSize);
  BlockDesc* block = MemFindBlock(size, 1);
  if (block == nullptr) return errOutOfMemory;

  // Out of the chain first: the entries overwrite the block's payload.
  MemUnlinkFree(block);
  MemDebugOpenPool(block->data, poolBytes);
  MemFormatMasters(static_cast<BlockDesc*>(block->data), heap->masterCount, heap->freeMasters);
  heap->freeMasters = static_cast<BlockDesc*>(block->data);
  MemCutBlock(block, size);
  MemClaimBlock(heap, block, poolBytes, memFlagPool);
  MemDebugClosePool(block);
  return errNone;
}
