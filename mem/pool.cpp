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

// The bytes of a pool extension: masterCount descriptors plus the owner word,
// not raised to the granule.
static uint32_t ExtensionSize(const Heap* heap) {
  return static_cast<uint32_t>(MemWord{heap->masterCount} * sizeof(BlockDesc) + kOwnerSize);
}

// Formats a pool extension in free block `block` and cuts it to size.
static void AddExtension(Heap* heap, BlockDesc* block) {
  const auto poolBytes = static_cast<MemWord>(heap->masterCount) * sizeof(BlockDesc);
  const uint32_t size = ExtensionSize(heap);
  // Out of the chain first: the entries overwrite the block's payload.
  MemUnlinkFree(block);
  MemDebugOpenPool(block->data, poolBytes);
  MemFormatMasters(static_cast<BlockDesc*>(block->data), heap->masterCount, heap->freeMasters);
  heap->freeMasters = static_cast<BlockDesc*>(block->data);
  MemCutBlock(block, size);
  MemClaimBlock(heap, block, poolBytes, memFlagPool);
  MemDebugClosePool(block);
}

ErrCode MemGrowMasters() {
  Heap* heap = memCurrentHeap;
  memLastError = errNone;
  BlockDesc* block = MemFindBlock(ExtensionSize(heap), 1);
  if (block == nullptr) return errOutOfMemory;
  AddExtension(heap, block);
  return errNone;
}

bool MemGrowMastersInPlace(Heap* heap) {
  BlockDesc* block = MemChainFindFit(heap, ExtensionSize(heap));
  if (block == nullptr) return false;
  memLastError = errNone;
  AddExtension(heap, block);
  return true;
}

}  // namespace okr_mem
