// Allocation, freeing, the free chain's order, compaction and purging.
#include <cstring>

#include "mem/internal.h"
#include "mem_test_util.h"

TEST_F(HeapTest, BlockSizeRule) {
  const struct {
    uint32_t request, block32;
  } cases[] = {{0, 16}, {1, 16}, {12, 16}, {13, 32}, {28, 32}, {29, 48}, {100, 112}, {4096, 4112}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    Handle h = MemNewHandle(c.request);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(MemGetHandleSize(h), c.request);
    EXPECT_EQ(MemGetFlags(h), 0x1000u);
    EXPECT_EQ(h->blockSize, BlockFor(c.request));
    if (k32Bit) {
      EXPECT_EQ(h->blockSize, c.block32);
    }
    EXPECT_EQ(MemPtrToHandle(h->data), h);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(h->data) % kOwner, 0u);
  }
  EXPECT_EQ(MemGetError(), 0u);
}

TEST_F(HeapTest, RequestsBeyondThirtyTwoBitsFail) {
  for (uint32_t n : {0xFFFFFFFFu, 0xFFFFFFF0u, 0xFFFFFFFFu - kOwner}) {
    EXPECT_EQ(MemNewHandle(n), nullptr);
    EXPECT_EQ(MemGetError(), 0x4603u);
  }
  Handle h = MemNewHandle(4);
  EXPECT_EQ(MemSetHandleSize(h, 0xFFFFFFFFu), 0x4603u);
  EXPECT_EQ(MemGetHandleSize(h), 4u);
  EXPECT_EQ(MemDisposeHandle(h), 0u);
}

// The last free block of a heap has whatever size the region leaves; when
// the rest after a request would be under a granule it is handed out whole.
TEST_F(HeapTest, LastBlockHandedOutWholeAndMovedOnWordBoundary) {
  Handle first = MemNewHandle(1000);
  const uint32_t tail = heap_->freeBytes;
  ASSERT_NE(tail % 16, 0u);
  Handle whole = MemNewHandle(RequestFor(tail / 16 * 16));
  ASSERT_NE(whole, nullptr);
  EXPECT_EQ(whole->blockSize, tail);  // larger than the rule by tail % 16
  EXPECT_EQ(heap_->freeBytes, 0u);
  EXPECT_EQ(heap_->freeBlocks, nullptr);
  std::memset(whole->data, 0x5A, MemGetHandleSize(whole));

  ASSERT_EQ(MemDisposeHandle(first), 0u);
  MemCompactHeap();  // slides the odd-sized last block down
  EXPECT_EQ(MemCheckHeap(nullptr), 0u);
  EXPECT_EQ(whole->blockSize % kOwner, 0u);
  const auto* bytes = static_cast<unsigned char*>(whole->data);
  for (uint32_t i = 0; i < MemGetHandleSize(whole); ++i)
    ASSERT_EQ(bytes[i], 0x5A) << i;
  Handle after = MemNewHandle(100);
  ASSERT_NE(after, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(after->data) % kOwner, 0u);
}

TEST_F(HeapTest, ResourceBlocksAreRefusedLockedOnesFreed) {
  Handle res = MemNewHandle(10);
  ASSERT_EQ(MemSetFlags(res, 0x5000), 0u);
  EXPECT_EQ(MemDisposeHandle(res), 0x460Au);
  EXPECT_EQ(MemGetFlags(res), 0x5000u);
  EXPECT_EQ(MemDisposePtr(res->data), 0x460Au);
  EXPECT_EQ(MemGetError(), 0x460Au);
  ASSERT_EQ(MemSetFlags(res, 0x1000), 0u);
  EXPECT_EQ(MemDisposeHandle(res), 0u);

  Handle locked = MemNewHandle(10);
  MemLockHandle(locked);
  MemLockHandle(locked);
  MemUnlockHandle(locked);
  EXPECT_EQ(MemGetFlags(locked), 0x1000u);  // locks do not nest
  MemLockHandle(locked);
  EXPECT_EQ(MemDisposeHandle(locked), 0u);
}

TEST_F(HeapTest, EqualFreeBlocksNewestFoundFirst) {
  Handle a = MemNewHandle(40);
  Handle sep1 = MemNewHandle(8);
  Handle b = MemNewHandle(40);
  Handle sep2 = MemNewHandle(8);
  ASSERT_EQ(MemDisposeHandle(a), 0u);
  ASSERT_EQ(MemDisposeHandle(b), 0u);
  EXPECT_EQ(heap_->freeBlocks, b);
  EXPECT_EQ(MemNewHandle(40), b);
  EXPECT_EQ(MemNewHandle(40), a);
  for (Handle h : {a, b, sep1, sep2})
    EXPECT_EQ(MemDisposeHandle(h), 0u);
}

TEST_F(HeapTest, FreeingMergesWithBothNeighbours) {
  Handle a = MemNewHandle(30);
  Handle b = MemNewHandle(50);
  Handle c = MemNewHandle(70);
  Handle sep = MemNewHandle(8);
  const MemWord total = a->blockSize + b->blockSize + c->blockSize;
  ASSERT_EQ(MemDisposeHandle(a), 0u);
  ASSERT_EQ(MemDisposeHandle(c), 0u);
  const uint32_t spare = HeapInfo().descsSpare;
  ASSERT_EQ(MemDisposeHandle(b), 0u);
  EXPECT_EQ(HeapInfo().descsSpare, spare + 2);
  EXPECT_EQ(a->flags, 0u);
  EXPECT_EQ(a->blockSize, total);
  EXPECT_EQ(a->next, sep);
  EXPECT_EQ(MemDisposeHandle(b), 0x4607u);  // already gone
  EXPECT_EQ(MemDisposeHandle(sep), 0u);
}

// A small heap whose one pool suffices: nothing locked stands in the way.
TEST(MemCompact, MovesBlocksAndKeepsContents) {
  Heap* heap = nullptr;
  ASSERT_EQ(MemNewHeap(nullptr, 0, nullptr, 0x10000, &heap), 0u);
  ASSERT_EQ(MemSetHeap(heap), 0u);
  std::vector<Handle> kept;
  std::vector<Handle> all;
  while (Handle h = MemNewHandle(1000))
    all.push_back(h);
  ASSERT_EQ(HeapInfo().poolExtensions, 0u);
  for (size_t i = 0; i < all.size(); ++i) {
    if (i % 2) {
      ASSERT_EQ(MemDisposeHandle(all[i]), 0u);
    } else {
      std::memset(all[i]->data, static_cast<int>(i & 0xFF), 1000);
      kept.push_back(all[i]);
    }
  }
  const uint32_t compactions = HeapInfo().compactions;
  Handle big = MemNewHandle(heap->freeBytes / 2);
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(HeapInfo().compactions, compactions + 1);
  EXPECT_EQ(MemGetError(), 0u);
  for (size_t i = 0; i < kept.size(); ++i) {
    const auto* bytes = static_cast<unsigned char*>(kept[i]->data);
    ASSERT_EQ(bytes[0], (2 * i) & 0xFF);
    ASSERT_EQ(bytes[999], (2 * i) & 0xFF);
    ASSERT_EQ(MemPtrToHandle(kept[i]->data), kept[i]);
  }
  EXPECT_EQ(MemCheckHeap(heap), 0u);
  EXPECT_EQ(MemDisposeHeap(&heap), 0u);
}

TEST_F(HeapTest, CompactionLeavesGapsBeforeLockedBlocks) {
  const struct {
    bool lockFirst;  // else the block after the movable one is locked
  } cases[] = {{true}, {false}};
  for (const auto& c : cases) {
    Handle gap = MemNewHandle(64);
    Handle a = MemNewHandle(64);
    Handle b = MemNewHandle(64);
    MemLockHandle(c.lockFirst ? a : b);
    void* aData = a->data;
    void* bData = b->data;
    ASSERT_EQ(MemDisposeHandle(gap), 0u);
    MemCompactHeap();
    EXPECT_EQ(a->data, aData);
    EXPECT_EQ(b->data, bData);
    EXPECT_EQ(a->prev->flags, 0u);  // the gap is still there
    EXPECT_EQ(MemDisposeHandle(a), 0u);
    EXPECT_EQ(MemDisposeHandle(b), 0u);
  }
}

namespace {
uint32_t purgeCalls;
uint32_t purgeSize;
Handle purgeVictim;
void CountingPurge(uint32_t size) {
  ++purgeCalls;
  purgeSize = size;
  if (purgeVictim != nullptr) MemDisposeHandle(purgeVictim);
  purgeVictim = nullptr;
}
}  // namespace

TEST(MemPurge, CompactsOnceThenPurgesOnce) {
  const struct {
    bool withPurge, victimFrees;
  } cases[] = {{false, false}, {true, false}, {true, true}};
  for (const auto& c : cases) {
    Heap* heap = nullptr;
    ASSERT_EQ(MemNewHeap(c.withPurge ? CountingPurge : nullptr, 0, nullptr, 0x10000, &heap), 0u);
    ASSERT_EQ(MemSetHeap(heap), 0u);
    purgeCalls = 0;
    Handle blocker = MemNewHandle(40000);
    purgeVictim = c.victimFrees ? blocker : nullptr;
    const uint32_t compactions = HeapInfo().compactions;
    Handle h = MemNewHandle(30000);
    EXPECT_EQ(HeapInfo().compactions, compactions + 1);
    EXPECT_EQ(purgeCalls, c.withPurge ? 1u : 0u);
    if (c.withPurge) {
      EXPECT_EQ(purgeSize, BlockFor(30000));
    }
    EXPECT_EQ(h != nullptr, c.victimFrees);
    EXPECT_EQ(MemGetError(), c.victimFrees ? 0u : 0x4603u);
    EXPECT_EQ(MemCheckHeap(heap), 0u);
    ASSERT_EQ(MemDisposeHeap(&heap), 0u);
  }
}
