// Heaps: creation figures, selection, destruction, pool growth, and the
// answers without a current heap or with nil arguments.
#include <cstdlib>
#include <cstring>

#include "mem/internal.h"
#include "mem_test_util.h"

using okr_mem::BlockEnd;
using okr_mem::BlockStart;
using okr_mem::MemGrowMasters;

TEST(MemHeap, FreshHeapLayout) {
  if (k32Bit) {
    EXPECT_EQ(sizeof(BlockDesc), 32u);
    EXPECT_EQ(sizeof(Heap), 48u);
  }
  const struct {
    uint32_t masterCount, poolEntries;
  } cases[] = {{0, 64}, {1, 64}, {63, 64}, {64, 64}, {100, 100}};
  for (const auto& c : cases) {
    Heap* heap = nullptr;
    ASSERT_EQ(MemNewHeap(nullptr, c.masterCount, nullptr, 0x10000, &heap), 0u);
    EXPECT_EQ(std::memcmp(&heap->magic, "HEAP", 4), 0);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(heap) % 16, 0u);
    EXPECT_EQ(heap->limit, static_cast<char*>(heap->region) + 0x10000 - 1);
    EXPECT_EQ(heap->masterCount, c.poolEntries);
    std::vector<BlockDesc*> blocks = HeapBlocks(heap);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0]->data, heap + 1);
    EXPECT_EQ(blocks[0]->flags, 0x9000u);
    EXPECT_EQ(blocks[0]->blockSize, c.poolEntries * sizeof(BlockDesc));
    EXPECT_EQ(blocks[0]->requestedSize, blocks[0]->blockSize);
    EXPECT_EQ(blocks[1]->flags, 0u);
    EXPECT_EQ(BlockStart(blocks[1]), static_cast<char*>(blocks[0]->data) + blocks[0]->blockSize);
    EXPECT_EQ(BlockEnd(blocks[1]), heap->limit);
    EXPECT_EQ(heap->freeBytes, blocks[1]->blockSize);
    EXPECT_EQ(std::memcmp(&blocks[1]->tag, "MSTR", 4), 0);
    EXPECT_EQ(HeapInfo(heap).descsSpare, c.poolEntries - 2);
    EXPECT_EQ(MemCheckHeap(heap), 0u);
    EXPECT_EQ(MemDisposeHeap(&heap), 0u);
  }
}

TEST(MemHeap, SelectionIdsAndRefusals) {
  Heap *a = nullptr, *b = nullptr;
  ASSERT_EQ(MemNewHeap(nullptr, 0, nullptr, 0x8000, &a), 0u);
  ASSERT_EQ(MemSetHeap(a), 0u);
  ASSERT_EQ(MemNewHeap(nullptr, 0, nullptr, 0x8000, &b), 0u);
  EXPECT_EQ(memCurrentHeap, a);  // creation does not select
  EXPECT_EQ(b->id, a->id + 1);
  EXPECT_TRUE(memHeapList == b && b->nextHeap == a && a->prevHeap == b);

  // Refused regions are given back even when the caller passed them in
  // (the leak checker would report them otherwise); the selection stays.
  Heap* failed = b;
  EXPECT_EQ(MemNewHeap(nullptr, 0, std::malloc(256), 256, &failed), 0x4602u);
  EXPECT_EQ(failed, nullptr);
  EXPECT_EQ(MemGetError(), 0x4602u);
  EXPECT_EQ(MemNewHeap(nullptr, 0xFFFFFFFFu, nullptr, 0x10000, &failed), 0x4602u);
  if (k32Bit) {
    EXPECT_EQ(MemNewHeap(nullptr, 0, nullptr, 0xFFFFFFFFu, &failed), 0x4102u);
  }
  EXPECT_EQ(MemNewHeap(nullptr, 0, nullptr, 0x1000, nullptr), 0x4101u);
  alignas(16) char notAHeap[64] = "HEAD";
  Heap* fake = reinterpret_cast<Heap*>(notAHeap);
  EXPECT_EQ(MemSetHeap(fake), 0x4602u);
  EXPECT_EQ(MemSetHeap(nullptr), 0x4602u);
  EXPECT_EQ(MemDisposeHeap(&fake), 0x4602u);
  EXPECT_EQ(MemDisposeHeap(nullptr), 0x4602u);
  EXPECT_EQ(memCurrentHeap, a);

  uint32_t next = memNextHeapId;
  EXPECT_EQ(MemDisposeHeap(&b), 0u);
  EXPECT_EQ(MemDisposeHeap(&b), 0x4602u);  // the reference is nil now
  ASSERT_EQ(MemNewHeap(nullptr, 0, nullptr, 0x8000, &b), 0u);
  EXPECT_EQ(b->id, next);  // ids are never reused
  EXPECT_EQ(MemDisposeHeap(&b), 0u);
  EXPECT_EQ(MemDisposeHeap(&a), 0u);
}

TEST(MemHeap, StartDefaultsAndDisposeAll) {
  EXPECT_EQ(MemDefaultHeapSize(), 0x1000000u);
  MemDisposeAllHeaps();  // an empty list: nothing happens
  ASSERT_EQ(MemStart(0), 0u);
  Heap* first = memCurrentHeap;
  EXPECT_EQ(first->limit - static_cast<char*>(first->region) + 1, 0xE00000);
  EXPECT_EQ(first->masterCount, 64u);
  ASSERT_EQ(MemStart(0x100000), 0u);
  EXPECT_EQ(memHeapList->nextHeap, first);
  MemDisposeAllHeaps();
  EXPECT_EQ(memHeapList, nullptr);
  EXPECT_EQ(memCurrentHeap, nullptr);
}

// A heap destroyed through another reference is refused by every operation
// that names a heap, without its released header being read.
TEST(MemHeap, DestroyedHeapIsNotRead) {
  Heap *live = nullptr, *gone = nullptr;
  ASSERT_EQ(MemNewHeap(nullptr, 0, nullptr, 0x8000, &gone), 0u);
  ASSERT_EQ(MemNewHeap(nullptr, 0, nullptr, 0x8000, &live), 0u);
  ASSERT_EQ(MemSetHeap(live), 0u);
  Heap* copy = gone;
  ASSERT_EQ(MemDisposeHeap(&gone), 0u);
  MemHeapInfo info;
  MemHeapStats stats{};
  stats.size = sizeof stats;
  MemDamage damage;
  const ErrCode results[] = {
      MemSetHeap(copy),        MemDisposeHeap(&copy),       MemCompact(copy),
      MemCheckHeap(copy),      MemGetHeapInfo(copy, &info), MemGetHeapStats(copy, &stats),
      MemSetScramble(copy, 0), MemCheckFill(copy, &damage)};
  for (ErrCode r : results)
    EXPECT_EQ(r, 0x4602u);
  EXPECT_EQ(memCurrentHeap, live);
  EXPECT_EQ(MemCheckHeap(live), 0u);
  EXPECT_EQ(MemDisposeHeap(&live), 0u);
}

// Without a current heap (here: it was destroyed) nothing touches released
// memory; nil handles and pointers are answered without a dereference.
TEST(MemHeap, NoHeapAndNilArguments) {
  ASSERT_EQ(MemStart(0x8000), 0u);
  Handle h = MemNewHandle(10);
  Heap* heap = memCurrentHeap;
  ASSERT_EQ(MemDisposeHeap(&heap), 0u);
  EXPECT_EQ(MemNewHandle(10), nullptr);
  EXPECT_EQ(MemGetError(), 0x4601u);
  EXPECT_EQ(MemNewPtr(10), nullptr);
  MemHeapInfo info;
  const ErrCode results[][2] = {
      {MemDisposeHandle(h), 0x4601},
      {MemSetHandleSize(h, 20), 0x4601},
      {MemCheckHeap(nullptr), 0x4601},
      {MemGetHeapInfo(nullptr, &info), 0x4601},
      {MemDisposeHandle(nullptr), 0x4604},
      {MemLockHandle(nullptr), 0x4604},
      {MemUnlockHandle(nullptr), 0x4604},
      {MemSetFlags(nullptr, 0x1000), 0x4604},
      {MemSetHandleSize(nullptr, 4), 0x4604},
      {MemGetHandleSize(nullptr), 0},
      {MemGetFlags(nullptr), 0},
      {MemDisposePtr(nullptr), 0x4605},
      {MemGetError(), 0x4605},
      {MemGetHeapInfo(nullptr, nullptr), 0x4101},
  };
  for (const auto& r : results)
    EXPECT_EQ(r[0], r[1]);
  EXPECT_EQ(MemPtrToHandle(nullptr), nullptr);
}

TEST_F(HeapTest, PoolGrowsByMasterCount) {
  std::vector<Handle> handles;
  while (HeapInfo().descsSpare > 0)
    handles.push_back(MemNewHandle(8));
  EXPECT_EQ(HeapInfo().poolExtensions, 0u);
  handles.push_back(MemNewHandle(8));
  EXPECT_EQ(HeapInfo().poolExtensions, 1u);
  const MemWord extension = heap_->masterCount * sizeof(BlockDesc) + kOwner;
  for (BlockDesc* d : HeapBlocks()) {
    if (d == heap_->firstBlock || d->flags != 0x9000) continue;
    EXPECT_EQ(d->blockSize, k32Bit ? 64u * 32 + 4 : extension);
    EXPECT_EQ(d->requestedSize, extension - kOwner);
  }
  // Fill the rest until neither a block nor a pool extension fits.
  while (Handle h = MemNewHandle(4000))
    handles.push_back(h);
  while (Handle h = MemNewHandle(0))
    handles.push_back(h);
  EXPECT_EQ(MemGetError(), 0x4603u);
  EXPECT_EQ(MemGrowMasters(), 0x4283u);
  EXPECT_EQ(MemGetError(), 0x4603u);
  for (Handle h : handles)
    EXPECT_EQ(MemDisposeHandle(h), 0u);
}
