// Allocation, freeing, the free chain's order, compaction and purging.
#include <cstring>

#include "mem/internal.h"
#include "mem_test_util.h"

using okr_mem::MemCompactHeap;

TEST_F(HeapTest, BlockSizeRule) {
  const struct {
    uint32_t request, block32;  // block32 0: the request must fail
  } cases[] = {
      {0, 16},    {1, 16},      {12, 16},         {13, 32},         {29, 48},
      {100, 112}, {4096, 4112}, {0xFFFFFFFFu, 0}, {0xFFFFFFF0u, 0}, {0xFFFFFFFFu - kOwner, 0}};
  for (const auto& c : cases) {
    Handle h = MemNewHandle(c.request);
    if (c.block32 == 0) {
      EXPECT_EQ(h, nullptr);
      EXPECT_EQ(MemGetError(), 0x4603u);
      continue;
    }
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(MemGetError(), 0u);
    EXPECT_EQ(MemGetHandleSize(h), c.request);
    EXPECT_EQ(MemGetFlags(h), 0x1000u);
    EXPECT_EQ(h->blockSize, k32Bit ? c.block32 : BlockFor(c.request));
    EXPECT_EQ(MemPtrToHandle(h->data), h);
  }
}

// The heap's last free block has whatever size the region leaves; a request
// that would leave less than a granule takes it whole. Moved by compaction,
// it gives its odd tail back so that the free block after it stays on a word
// boundary; shrunk by less than a granule, it keeps its size.
TEST_F(HeapTest, LastBlockHandedOutWhole) {
  Handle first = MemNewHandle(1000);
  const uint32_t tail = heap_->freeBytes;
  ASSERT_NE(tail % 16, 0u);
  Handle whole = MemNewHandle(RequestFor(tail / 16 * 16));
  ASSERT_EQ(whole->blockSize, tail);
  EXPECT_EQ(heap_->freeBlocks, nullptr);
  ASSERT_EQ(MemSetHandleSize(whole, MemGetHandleSize(whole) - 1), 0u);
  EXPECT_EQ(whole->blockSize, tail);
  std::memset(whole->data, 0x5A, MemGetHandleSize(whole));

  ASSERT_EQ(MemDisposeHandle(first), 0u);
  MemCompactHeap();
  EXPECT_EQ(MemCheckHeap(nullptr), 0u);
  EXPECT_EQ(whole->blockSize % kOwner, 0u);
  EXPECT_EQ(static_cast<unsigned char*>(whole->data)[MemGetHandleSize(whole) - 1], 0x5A);
  Handle after = MemNewHandle(100);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(after->data) % kOwner, 0u);
}

TEST_F(HeapTest, FlagsLocksAndResourceData) {
  Handle h = MemNewHandle(10);
  ASSERT_EQ(MemSetFlags(h, 0x5000), 0u);
  EXPECT_EQ(MemDisposeHandle(h), 0x460Au);
  EXPECT_EQ(MemDisposePtr(h->data), 0x460Au);
  EXPECT_EQ(MemGetError(), 0x460Au);
  EXPECT_EQ(MemGetFlags(h), 0x5000u);  // still allocated
  ASSERT_EQ(MemSetFlags(h, 0x1000), 0u);
  MemLockHandle(h);
  MemLockHandle(h);
  MemUnlockHandle(h);
  EXPECT_EQ(MemGetFlags(h), 0x1000u);  // locks do not nest
  MemLockHandle(h);
  EXPECT_EQ(MemDisposeHandle(h), 0u);  // locked blocks are freed like others
  EXPECT_EQ(MemDisposeHandle(h), 0x4607u);
}

TEST_F(HeapTest, FreeChainOrderAndMerging) {
  Handle a = MemNewHandle(40), sep1 = MemNewHandle(8);
  Handle b = MemNewHandle(40), sep2 = MemNewHandle(8);
  ASSERT_EQ(MemDisposeHandle(a), 0u);
  ASSERT_EQ(MemDisposeHandle(b), 0u);
  EXPECT_EQ(MemNewHandle(40), b);  // among equal sizes the newest comes first
  EXPECT_EQ(MemNewHandle(40), a);

  // Freeing b between two free blocks leaves one block of all three sizes.
  const MemWord total = a->blockSize + sep1->blockSize + b->blockSize;
  ASSERT_EQ(MemDisposeHandle(a), 0u);
  ASSERT_EQ(MemDisposeHandle(b), 0u);
  const uint32_t spare = HeapInfo().descsSpare;
  ASSERT_EQ(MemDisposeHandle(sep1), 0u);
  EXPECT_EQ(HeapInfo().descsSpare, spare + 2);
  EXPECT_EQ(a->blockSize, total);
  EXPECT_EQ(a->next, sep2);
}

// A small heap whose one pool suffices: nothing locked stands in the way.
TEST(MemCompact, MovesBlocksAndKeepsContents) {
  ASSERT_EQ(MemStart(0x10000), 0u);
  std::vector<Handle> all;
  while (Handle h = MemNewHandle(1000))
    all.push_back(h);
  ASSERT_EQ(HeapInfo().poolExtensions, 0u);
  for (size_t i = 0; i < all.size(); ++i) {
    if (i % 2) {
      ASSERT_EQ(MemDisposeHandle(all[i]), 0u);
    } else {
      std::memset(all[i]->data, static_cast<int>(i), 1000);
    }
  }
  const uint32_t compactions = HeapInfo().compactions;
  ASSERT_NE(MemNewHandle(memCurrentHeap->freeBytes / 2), nullptr);
  EXPECT_EQ(HeapInfo().compactions, compactions + 1);
  for (size_t i = 0; i < all.size(); i += 2) {
    const auto* bytes = static_cast<unsigned char*>(all[i]->data);
    EXPECT_EQ(bytes[0] + bytes[999], 2 * static_cast<int>(i & 0xFF));
    EXPECT_EQ(MemPtrToHandle(all[i]->data), all[i]);
  }
  EXPECT_EQ(MemCheckHeap(nullptr), 0u);
  MemDisposeAllHeaps();
}

// A gap before a locked block, or before an unlocked block followed by a
// locked one, stays where it is.
TEST_F(HeapTest, CompactionLeavesGapsBeforeLockedBlocks) {
  for (bool lockFirst : {true, false}) {
    Handle gap = MemNewHandle(64), a = MemNewHandle(64), b = MemNewHandle(64);
    MemLockHandle(lockFirst ? a : b);
    void* aData = a->data;
    ASSERT_EQ(MemDisposeHandle(gap), 0u);
    MemCompactHeap();
    EXPECT_EQ(a->data, aData);
    EXPECT_EQ(a->prev->flags, 0u);
    EXPECT_EQ(MemDisposeHandle(a), 0u);
    EXPECT_EQ(MemDisposeHandle(b), 0u);
  }
}

namespace {
uint32_t purgeCalls, purgeSize;
Handle purgeVictim;
bool purgeAllocates;  // the callback allocates before it frees
Handle purgeNested;
void CountingPurge(uint32_t size) {
  ++purgeCalls;
  purgeSize = size;
  if (purgeAllocates) purgeNested = MemNewHandle(size);
  if (purgeVictim != nullptr) MemDisposeHandle(purgeVictim);
}
}  // namespace

// A callback that allocates is not called again by its own search, which
// fails after compacting; what it leaves in memLastError stays there when
// the outer search then succeeds, and makes MemNewPtr fail with nothing
// allocated.
TEST(MemPurge, CompactsOnceThenPurgesOnce) {
  const struct {
    bool withPurge, victimFrees, allocates, pointer;
  } cases[] = {{false, false, false, false}, {true, false, false, false},
               {true, true, false, false},   {true, false, true, false},
               {true, true, true, false},    {true, true, false, true},
               {true, true, true, true}};
  for (const auto& c : cases) {
    purgeAllocates = c.allocates;
    purgeNested = nullptr;
    Heap* heap = nullptr;
    ASSERT_EQ(MemNewHeap(c.withPurge ? CountingPurge : nullptr, 0, nullptr, 0x10000, &heap), 0u);
    ASSERT_EQ(MemSetHeap(heap), 0u);
    purgeCalls = 0;
    Handle blocker = MemNewHandle(40000);
    purgeVictim = c.victimFrees ? blocker : nullptr;
    const uint32_t compactions = HeapInfo().compactions;
    Handle h = c.pointer ? MemPtrToHandle(MemNewPtr(30000)) : MemNewHandle(30000);
    EXPECT_EQ(HeapInfo().compactions, compactions + (c.allocates ? 2 : 1));
    EXPECT_EQ(purgeCalls, c.withPurge ? 1u : 0u);
    EXPECT_EQ(purgeSize, c.withPurge ? BlockFor(30000) : purgeSize);  // the block size
    EXPECT_EQ(purgeNested, nullptr);
    const bool succeeds = c.victimFrees && !(c.allocates && c.pointer);
    EXPECT_EQ(h != nullptr, succeeds);
    EXPECT_EQ(MemGetError(), c.victimFrees && !c.allocates ? 0u : 0x4603u);
    EXPECT_EQ(HeapInfo().blocksInUse, (succeeds ? 1u : 0u) + (c.victimFrees ? 0u : 1u));
    EXPECT_EQ(MemCheckHeap(heap), 0u);
    ASSERT_EQ(MemDisposeHeap(&heap), 0u);
  }
}

namespace {
Handle purgeRoom, purgeResized;
void (*purgeAction)(Handle);
void RoomThenAction(uint32_t) {
  if (purgeAction == nullptr) return;  // the heap is being filled
  MemDisposeHandle(purgeRoom);
  purgeAction(purgeResized);
}
}  // namespace

// A purge callback that changes the very block being resized: the resize
// stops with the callback's change standing, and the heap stays whole.
TEST(MemPurge, CallbackChangesTheResizedBlock) {
  const struct {
    const char* name;
    void (*action)(Handle);
    ErrCode expected;
    uint32_t size;  // the block's requested size afterwards
  } cases[] = {
      {"nothing", [](Handle) {}, 0, 25000},
      {"disposes of it", [](Handle h) { MemDisposeHandle(h); }, 0x4607, 0},
      {"grows it", [](Handle h) { ASSERT_EQ(MemSetHandleSize(h, 30000), 0u); }, 0x4607, 30000},
      {"shrinks it", [](Handle h) { ASSERT_EQ(MemSetHandleSize(h, 100), 0u); }, 0x4607, 100},
      {"locks it", [](Handle h) { MemLockHandle(h); }, 0x4609, 20000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    purgeAction = nullptr;
    Heap* heap = nullptr;
    ASSERT_EQ(MemNewHeap(RoomThenAction, 0, nullptr, 0x20000, &heap), 0u);
    ASSERT_EQ(MemSetHeap(heap), 0u);
    // gap, block, locked wall, room, locked filler: the block grows only
    // into the room, which the callback frees.
    Handle gap = MemNewHandle(10000);
    purgeResized = MemNewHandle(20000);
    std::memset(purgeResized->data, 0x6B, 20000);
    MemLockHandle(MemNewHandle(8));
    purgeRoom = MemNewHandle(60000);
    while (Handle filler = MemNewHandle(1000))
      MemLockHandle(filler);
    ASSERT_EQ(MemDisposeHandle(gap), 0u);
    purgeAction = c.action;
    EXPECT_EQ(MemSetHandleSize(purgeResized, 25000), c.expected);
    EXPECT_EQ(MemCheckHeap(heap), 0u);
    if (c.size != 0) {
      EXPECT_EQ(MemGetHandleSize(purgeResized), c.size);
      const auto* bytes = static_cast<unsigned char*>(purgeResized->data);
      EXPECT_EQ(bytes[0] + bytes[99], 2 * 0x6B);
    }
    ASSERT_EQ(MemDisposeHeap(&heap), 0u);
  }
}
