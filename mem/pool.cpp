// Master-pointer pools: formatting descriptors, the stack of spare ones, and
// growing a heap's pool by one extension block when the stack runs dry.
//
// Not compiled on its own: alloc_unit.cpp includes it with alloc.cpp and
// index.cpp (see there).
#include "mem/debug.h"

namespace okr_mem {

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
  OKR_MEM_ASSERT(IsSpare(d) && d->prev == nullptr);
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
  MemPushSpareOnto(heap->freeMasters, d);
}

void MemReleaseDesc(BlockDesc* d) {
  OKR_MEM_ASSERT(d->prev != nullptr);  // the first block is never released
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

}  // namespace okr_mem
