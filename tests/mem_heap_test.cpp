// Heaps: creation figures, selection, destruction, pool growth, and what
// block operations do without a current heap.
#include <cstdlib>
#include <cstring>

#include "mem/internal.h"
#include "mem_test_util.h"

TEST(MemHeap, FreshHeapLayout) {
  const struct {
    uint32_t masterCount, poolEntries;
  } cases[] = {{0, 64}, {1, 64}, {63, 64}, {64, 64}, {100, 100}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.masterCount);
    Heap* heap = nullptr;
    ASSERT_EQ(MemNewHeap(nullptr, c.masterCount, nullptr, 0x10000, &heap), 0u);
    EXPECT_EQ(std::memcmp(&heap->magic, "HEAP", 4), 0);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(heap) % 16, 0u);
    EXPECT_EQ(heap->limit, static_cast<char*>(heap->region) + 0x10000 - 1);
    EXPECT_EQ(heap->masterCount, c.poolEntries);

    std::vector<BlockDesc*> blocks = HeapBlocks(heap);
    ASSERT_EQ(blocks.size(), 2u);
    BlockDesc* pool = blocks[0];
    EXPECT_EQ(pool->data, heap + 1);
    EXPECT_EQ(pool->flags, 0x9000u);
    EXPECT_EQ(pool->blockSize, c.poolEntries * sizeof(BlockDesc));
    EXPECT_EQ(pool->requestedSize, pool->blockSize);
    BlockDesc* free = blocks[1];
    EXPECT_EQ(free->flags, 0u);
    EXPECT_EQ(static_cast<char*>(free->data),
              static_cast<char*>(pool->data) + pool->blockSize + kOwner);
    EXPECT_EQ(free->blockSize, MemWord(heap->limit - (static_cast<char*>(free->data) - kOwner)));
    EXPECT_EQ(heap->freeBytes, free->blockSize);
    EXPECT_EQ(heap->freeBlocks, free);
    EXPECT_EQ(std::memcmp(&free->tag, "MSTR", 4), 0);

    MemHeapInfo info = HeapInfo(heap);
    EXPECT_EQ(info.descsInUse, 2u);
    EXPECT_EQ(info.descsSpare, c.poolEntries - 2);
    EXPECT_EQ(MemCheckHeap(heap), 0u);
    EXPECT_EQ(MemDisposeHeap(&heap), 0u);
  }
}

TEST(MemHeap, ThirtyTwoBitFigures) {
  if (!k32Bit) GTEST_SKIP() << "figures of the 32-bit layout";
  EXPECT_EQ(sizeof(BlockDesc), 32u);
  EXPECT_EQ(sizeof(Heap), 48u);
  EXPECT_EQ(kOwner, 4u);
}

TEST(MemHeap, CreationKeepsSelectionAndNumbersHeaps) {
  Heap* a = nullptr;
  Heap* b = nullptr;
  ASSERT_EQ(MemNewHeap(nullptr, 0, nullptr, 0x8000, &a), 0u);
  ASSERT_EQ(MemSetHeap(a), 0u);
  ASSERT_EQ(MemNewHeap(nullptr, 0, nullptr, 0x8000, &b), 0u);
  EXPECT_EQ(memCurrentHeap, a);
  EXPECT_EQ(b->id, a->id + 1);
  EXPECT_EQ(memHeapList, b);
  EXPECT_EQ(b->nextHeap, a);
  EXPECT_EQ(a->prevHeap, b);

  Heap* failed = reinterpret_cast<Heap*>(1);
  EXPECT_EQ(MemNewHeap(nullptr, 0, nullptr, 100, &failed), 0x4602u);
  EXPECT_EQ(failed, nullptr);
  EXPECT_EQ(MemGetError(), 0x4602u);
  EXPECT_EQ(memCurrentHeap, a);

  uint32_t next = memNextHeapId;
  EXPECT_EQ(MemDisposeHeap(&b), 0u);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(MemDisposeHeap(&b), 0x4602u);  // the reference is nil now
  ASSERT_EQ(MemNewHeap(nullptr, 0, nullptr, 0x8000, &b), 0u);
  EXPECT_EQ(b->id, next);  // ids are never reused
  EXPECT_EQ(MemDisposeHeap(&b), 0u);
  EXPECT_EQ(MemDisposeHeap(&a), 0u);
  EXPECT_EQ(memCurrentHeap, nullptr);
}

TEST(MemHeap, RefusedRegionsAndHeaps) {
  // The heap takes over a caller's region even when it refuses it: the leak
  // checker would report it otherwise.
  Heap* heap = nullptr;
  EXPECT_EQ(MemNewHeap(nullptr, 0, std::malloc(256), 256, &heap), 0x4602u);
  EXPECT_EQ(MemNewHeap(nullptr, 0xFFFFFFFFu, nullptr, 0x10000, &heap), 0x4602u);
  if (k32Bit) {
    EXPECT_EQ(MemNewHeap(nullptr, 0, nullptr, 0xFFFFFFFFu, &heap), 0x4102u);
  }
  EXPECT_EQ(MemNewHeap(nullptr, 0, nullptr, 0x1000, nullptr), 0x4101u);

  alignas(16) char notAHeap[64] = "HEAD";
  Heap* selected = memCurrentHeap;
  EXPECT_EQ(MemSetHeap(reinterpret_cast<Heap*>(notAHeap)), 0x4602u);
  EXPECT_EQ(MemSetHeap(nullptr), 0x4602u);
  EXPECT_EQ(memCurrentHeap, selected);
  Heap* fake = reinterpret_cast<Heap*>(notAHeap);
  EXPECT_EQ(MemDisposeHeap(&fake), 0x4602u);
  EXPECT_EQ(MemDisposeHeap(nullptr), 0x4602u);
}

TEST(MemHeap, DefaultSizesAndDisposeAll) {
  EXPECT_EQ(MemDefaultHeapSize(), 0x1000000u);
  MemDisposeAllHeaps();  // an empty list: nothing happens
  ASSERT_EQ(MemStart(0), 0u);
  Heap* heap = memCurrentHeap;
  ASSERT_NE(heap, nullptr);
  EXPECT_EQ(heap->limit - static_cast<char*>(heap->region) + 1, 0xE00000);
  EXPECT_EQ(heap->masterCount, 64u);
  ASSERT_EQ(MemStart(0x100000), 0u);
  EXPECT_EQ(memHeapList->nextHeap, heap);
  MemDisposeAllHeaps();
  EXPECT_EQ(memHeapList, nullptr);
  EXPECT_EQ(memCurrentHeap, nullptr);
}

TEST(MemHeap, NoCurrentHeap) {
  Heap* heap = nullptr;
  ASSERT_EQ(MemNewHeap(nullptr, 0, nullptr, 0x8000, &heap), 0u);
  ASSERT_EQ(MemSetHeap(heap), 0u);
  Handle h = MemNewHandle(10);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(MemDisposeHeap(&heap), 0u);  // was current: nothing is current now

  EXPECT_EQ(MemNewHandle(10), nullptr);
  EXPECT_EQ(MemGetError(), 0x4601u);
  EXPECT_EQ(MemNewPtr(10), nullptr);
  EXPECT_EQ(MemDisposeHandle(h), 0x4601u);
  EXPECT_EQ(MemSetHandleSize(h, 20), 0x4601u);
  EXPECT_EQ(MemCheckHeap(nullptr), 0x4601u);
  MemHeapInfo info;
  EXPECT_EQ(MemGetHeapInfo(nullptr, &info), 0x4601u);
}

TEST_F(HeapTest, NilArguments) {
  EXPECT_EQ(MemDisposeHandle(nullptr), 0x4604u);
  EXPECT_EQ(MemLockHandle(nullptr), 0x4604u);
  EXPECT_EQ(MemUnlockHandle(nullptr), 0x4604u);
  EXPECT_EQ(MemSetFlags(nullptr, 0x1000), 0x4604u);
  EXPECT_EQ(MemSetHandleSize(nullptr, 4), 0x4604u);
  EXPECT_EQ(MemGetHandleSize(nullptr), 0u);
  EXPECT_EQ(MemGetFlags(nullptr), 0u);
  EXPECT_EQ(MemPtrToHandle(nullptr), nullptr);
  EXPECT_EQ(MemDisposePtr(nullptr), 0x4605u);
  EXPECT_EQ(MemGetError(), 0x4605u);
  EXPECT_EQ(MemGetHeapInfo(nullptr, nullptr), 0x4101u);
}

TEST_F(HeapTest, PoolGrowsByMasterCountWhenSpareRunsOut) {
  std::vector<Handle> handles;
  while (HeapInfo().descsSpare > 0)
    handles.push_back(MemNewHandle(8));
  EXPECT_EQ(HeapInfo().poolExtensions, 0u);
  handles.push_back(MemNewHandle(8));
  MemHeapInfo info = HeapInfo();
  EXPECT_EQ(info.poolExtensions, 1u);
  EXPECT_EQ(info.descsInUse + info.descsSpare, 2 * heap_->masterCount);

  const MemWord extension = heap_->masterCount * sizeof(BlockDesc) + kOwner;
  int pools = 0;
  for (BlockDesc* d : HeapBlocks()) {
    if (d == heap_->firstBlock || d->flags != 0x9000) continue;
    ++pools;
    EXPECT_EQ(d->blockSize, extension);
    EXPECT_EQ(d->requestedSize, extension - kOwner);
    if (k32Bit) {
      EXPECT_EQ(d->blockSize, 64u * 32 + 4);
    }
  }
  EXPECT_EQ(pools, 1);
  for (Handle h : handles)
    EXPECT_EQ(MemDisposeHandle(h), 0u);
}

TEST_F(HeapTest, PoolThatCannotGrowFailsTheAllocation) {
  // Fill the heap with large blocks, then with empty ones until neither a
  // block nor a pool extension fits any more.
  std::vector<Handle> handles;
  while (Handle h = MemNewHandle(4000))
    handles.push_back(h);
  while (Handle h = MemNewHandle(0))
    handles.push_back(h);
  EXPECT_EQ(MemGetError(), 0x4603u);
  EXPECT_EQ(MemGrowMasters(), 0x4283u);
  EXPECT_EQ(MemGetError(), 0x4603u);
  EXPECT_EQ(MemCheckHeap(nullptr), 0u);
  for (Handle h : handles)
    EXPECT_EQ(MemDisposeHandle(h), 0u);
}
