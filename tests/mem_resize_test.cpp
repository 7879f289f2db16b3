// Resizing handles in every case, and the pointer operations.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "mem/internal.h"
#include "mem_test_util.h"

#ifndef _WIN32
#include <sys/mman.h>
#endif

using okr_mem::BlockEnd;
using okr_mem::BlockStart;
using okr_mem::ReadOwner;

namespace {

void Fill(Handle h, unsigned char v) {
  std::memset(h->data, v, MemGetHandleSize(h));
}

bool Holds(Handle h, unsigned char v, uint32_t n) {
  const auto* p = static_cast<unsigned char*>(h->data);
  for (uint32_t i = 0; i < n; ++i) {
    if (p[i] != v) return false;
  }
  return true;
}

}  // namespace

// h is followed by a 256-byte block (free or in use), then a block in use.
// With noSpare, every descriptor is in use when h is resized: a tail cut off
// takes one from a pool extension placed in the free space, as allocations do.
TEST_F(HeapTest, ResizeInPlace) {
  const struct {
    const char* name;
    uint32_t from, to;
    bool gapFree, locked;
    bool freeAfter;     // a free block follows h afterwards
    bool releasesDesc;  // the free neighbour is used up
    bool noSpare;
  } cases[] = {
      {"same block size", RequestFor(32) - 8, RequestFor(32), false, false, false, false, false},
      {"shrink into free", RequestFor(96), RequestFor(32), true, true, true, false, false},
      {"cut off tail", RequestFor(96), RequestFor(48), false, false, true, false, false},
      {"cut off tail, no spare descriptor", RequestFor(96), RequestFor(48), false, true, true,
       false, true},
      {"grow into free", RequestFor(32), RequestFor(160), true, true, true, false, false},
      {"grow by exactly the free block", RequestFor(32), RequestFor(32 + 256), true, false, false,
       true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Handle h = MemNewHandle(c.from);
    Handle gap = MemNewHandle(RequestFor(256));
    Handle after = MemNewHandle(8);
    if (c.gapFree) {
      ASSERT_EQ(MemDisposeHandle(gap), 0u);
    }
    std::vector<Handle> fillers;
    while (c.noSpare && HeapInfo().descsSpare > 0)
      fillers.push_back(MemNewHandle(8));
    Fill(h, 0xA5);
    if (c.locked) MemLockHandle(h);
    void* before = h->data;
    const uint32_t spare = HeapInfo().descsSpare;
    const uint32_t extensions = HeapInfo().poolExtensions;
    ASSERT_EQ(MemSetHandleSize(h, c.to), 0u);
    EXPECT_EQ(h->data, before);
    EXPECT_EQ(MemGetHandleSize(h), c.to);
    EXPECT_EQ(h->blockSize, BlockFor(c.to));
    EXPECT_TRUE(Holds(h, 0xA5, std::min(c.from, c.to)));
    EXPECT_EQ(h->next->flags == 0, c.freeAfter);
    EXPECT_EQ(BlockStart(h->next), BlockEnd(h));
    // A pool extension brings masterCount descriptors and takes one for the
    // free space it was cut from.
    EXPECT_EQ(HeapInfo().poolExtensions, extensions + (c.noSpare ? 1 : 0));
    EXPECT_EQ(HeapInfo().descsSpare, spare + (c.releasesDesc ? 1 : 0) -
                                         (c.freeAfter && !c.gapFree) +
                                         (c.noSpare ? heap_->masterCount - 1 : 0));
    EXPECT_EQ(MemCheckHeap(nullptr), 0u);
    EXPECT_EQ(MemDisposeHandle(h), 0u);
    EXPECT_EQ(MemDisposeHandle(after), 0u);
    if (!c.gapFree) {
      EXPECT_EQ(MemDisposeHandle(gap), 0u);
    }
    for (Handle f : fillers)
      EXPECT_EQ(MemDisposeHandle(f), 0u);
  }
}

TEST_F(HeapTest, ResizeThatMoves) {
  Handle h = MemNewHandle(40);
  Handle wall = MemNewHandle(8);
  Fill(h, 0x3C);
  BlockDesc* const oldDesc = h;
  char* const oldData = static_cast<char*>(h->data);
  const MemWord oldBlock = h->blockSize;

  MemLockHandle(h);
  EXPECT_EQ(MemSetHandleSize(h, 400), 0x4609u);  // locked and cannot grow in place
  EXPECT_EQ(MemGetHandleSize(h), 40u);
  EXPECT_EQ(h->data, oldData);
  MemUnlockHandle(h);

  ASSERT_EQ(MemSetHandleSize(h, 400), 0u);
  EXPECT_EQ(h, oldDesc);
  EXPECT_NE(h->data, oldData);
  EXPECT_TRUE(Holds(h, 0x3C, 40));
  EXPECT_EQ(MemPtrToHandle(h->data), h);
  BlockDesc* oldPlace = ReadOwner(oldData);  // the other descriptor took it
  EXPECT_EQ(oldPlace->flags, 0u);
  EXPECT_EQ(oldPlace->blockSize, oldBlock);
  EXPECT_EQ(oldPlace->next, wall);

  EXPECT_EQ(MemSetHandleSize(h, 0x7FFFFFF0), 0x4603u);
  EXPECT_EQ(MemGetError(), 0x4603u);
  EXPECT_EQ(MemGetHandleSize(h), 400u);
  EXPECT_TRUE(Holds(h, 0x3C, 40));
  MemLockHandle(h);
  EXPECT_EQ(MemGetError(), 0x4603u);  // lock, unlock and accessors keep it
  MemUnlockHandle(h);
  EXPECT_EQ(MemGetError(), 0x4603u);
  EXPECT_EQ(MemDisposeHandle(h), 0u);
  EXPECT_EQ(MemDisposeHandle(wall), 0u);
}

// Growing into the heap's last free block (whose size is odd) can leave a
// rest under a granule: a free block no search can use, which still keeps
// its chain place and becomes searchable again when it grows back.
TEST(MemResize, RestUnderGranuleStaysInChain) {
  // A region whose one free block leaves 15 bytes over the granule.
  constexpr uint32_t kSize = 0x10000;
  char* region = static_cast<char*>(std::malloc(kSize + 16));
  const uintptr_t header = (reinterpret_cast<uintptr_t>(region) + 15) / 16 * 16;
  const uintptr_t poolEnd = header + sizeof(Heap) + 64 * sizeof(BlockDesc);
  uint32_t size = kSize;
  while ((reinterpret_cast<uintptr_t>(region) + size - 1 - poolEnd) % 16 != 15)
    ++size;
  Heap* heap = nullptr;
  ASSERT_EQ(MemNewHeap(nullptr, 0, region, size, &heap), 0u);
  ASSERT_EQ(MemSetHeap(heap), 0u);
  Handle x = MemNewHandle(8);
  const uint32_t tail = heap->freeBytes;
  Handle h = MemNewHandle(8);
  ASSERT_EQ(MemSetHandleSize(h, RequestFor(tail - 15)), 0u);
  BlockDesc* small = h->next;
  ASSERT_EQ(heap->freeBlocks, small);
  EXPECT_EQ(small->blockSize, 15u);
  EXPECT_EQ(MemNewHandle(0), nullptr);  // the rest fits no request
  ASSERT_EQ(MemDisposeHandle(x), 0u);   // x follows it in the chain
  EXPECT_EQ(small->nextFree, x);
  EXPECT_EQ(MemCheckHeap(nullptr), 0u);

  ASSERT_EQ(MemSetHandleSize(h, RequestFor(tail - 15 - 32)), 0u);  // the rest grows back
  EXPECT_EQ(small->blockSize, 15u + 32);
  EXPECT_EQ(MemCheckHeap(nullptr), 0u);
  EXPECT_EQ(MemNewHandle(RequestFor(32)), small);
  EXPECT_EQ(MemCheckHeap(nullptr), 0u);
  ASSERT_EQ(MemDisposeHeap(&heap), 0u);
}

TEST_F(HeapTest, ShrinkOfWholeBlockByLessThanGranuleKeepsIt) {
  Handle first = MemNewHandle(1000);
  const uint32_t tail = heap_->freeBytes;
  Handle whole = MemNewHandle(RequestFor(tail / 16 * 16));
  ASSERT_EQ(whole->blockSize, tail);
  ASSERT_EQ(MemSetHandleSize(whole, RequestFor(tail / 16 * 16) - 1), 0u);
  EXPECT_EQ(whole->blockSize, tail);
  EXPECT_EQ(heap_->freeBytes, 0u);
  EXPECT_EQ(MemDisposeHandle(first), 0u);
  EXPECT_EQ(MemDisposeHandle(whole), 0u);
}

TEST_F(HeapTest, Pointers) {
  void* p = MemNewPtrClear(10);
  ASSERT_NE(p, nullptr);
  Handle h = MemPtrToHandle(p);
  EXPECT_EQ(h->data, p);
  EXPECT_EQ(h->blockSize, BlockFor(10));
  EXPECT_EQ(MemGetFlags(h), 0x9000u);
  EXPECT_TRUE(Holds(h, 0, 10));
  EXPECT_EQ(MemDisposePtr(p), 0u);

  Handle plain = MemNewHandle(20);
  EXPECT_EQ(MemDisposePtr(plain->data), 0u);  // any handle's data address
  EXPECT_EQ(MemGetError(), 0u);

  alignas(16) char stray[32] = {};
  EXPECT_EQ(MemDisposePtr(stray + 16), 0x4608u);  // owner word 0
  std::memset(stray, 0x77, 16);
  EXPECT_EQ(MemDisposePtr(stray + 16), 0x4608u);  // owner word not of this heap
  EXPECT_EQ(MemGetError(), 0x4608u);
}

namespace {

// The first byte of a page that follows one that cannot be read (NULL where
// the test makes none), and the size of the two.
constexpr size_t kGuardedBytes = 2 * 65536;
char* AfterUnreadablePage() {
#ifdef _WIN32
  return nullptr;
#else
  void* pages =
      mmap(nullptr, kGuardedBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED) return nullptr;
  mprotect(pages, kGuardedBytes / 2, PROT_NONE);
  return static_cast<char*>(pages) + kGuardedBytes / 2;
#endif
}

}  // namespace

// MemDisposePtr reads nothing outside the current heap (not the word before
// an address elsewhere, nor a destroyed heap's bytes when none is current),
// and a handle given for a pointer never frees the pool that holds it.
TEST(MemPointer, DisposeTakesOnlyPointersOfTheCurrentHeap) {
  char* guarded = AfterUnreadablePage();
  Heap *heap = nullptr, *gone = nullptr;
  ASSERT_EQ(MemNewHeap(nullptr, 0, nullptr, 0x10000, &gone), 0u);
  ASSERT_EQ(MemSetHeap(gone), 0u);
  void* stale = MemNewPtr(10);
  ASSERT_EQ(MemDisposeHeap(&gone), 0u);  // no heap is current now
  ASSERT_EQ(MemNewHeap(nullptr, 0, nullptr, 0x10000, &heap), 0u);
  ASSERT_EQ(MemSetHeap(heap), 0u);
  char* live = static_cast<char*>(MemNewPtr(10));
  std::vector<Handle> handles;
  while (HeapInfo().poolExtensions == 0) {
    handles.push_back(MemNewHandle(8));
    ASSERT_NE(handles.back(), nullptr);
  }
  // The first entry of the pool extension: the first handle handed out
  // after the pool grew, in a heap without scramble mode.
  Handle poolStart = nullptr;
  for (BlockDesc* d : HeapBlocks()) {
    if (d != heap->firstBlock && d->requestedSize == heap->masterCount * sizeof(BlockDesc)) {
      poolStart = static_cast<Handle>(d->data);
    }
  }
  ASSERT_NE(poolStart, nullptr);
  // Pointers as large as a pool whose first bytes read like a descriptor,
  // one in use and one spare: they are the client's, and go.
  const uint32_t poolBytes = heap->masterCount * sizeof(BlockDesc);
  auto* inUseLike = static_cast<BlockDesc*>(MemNewPtrClear(poolBytes));
  auto* spareLike = static_cast<BlockDesc*>(MemNewPtrClear(poolBytes));
  ASSERT_NE(spareLike, nullptr);
  inUseLike->tag = spareLike->tag = poolStart->tag;
  spareLike->data = reinterpret_cast<void*>(~uintptr_t{0});
  const struct {
    const char* name;
    void* p;
    bool heapCurrent;
    ErrCode expected;
  } cases[] = {
      {"after an unreadable page", guarded, true, 0x4608},
      {"after an unreadable page, no heap", guarded, false, 0x4601},
      {"in a destroyed heap, no heap", stale, false, 0x4601},
      {"inside a block", live + 1, true, 0x4608},
      {"the initial pool", heap + 1, true, 0x4608},
      {"a handle at a pool's start", poolStart, true, 0x4608},
      {"another handle", handles[5], true, 0x4608},
      {"a pointer reading like a descriptor", inUseLike, true, 0},
      {"a pointer reading like a spare descriptor", spareLike, true, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.p == nullptr) continue;
    memCurrentHeap = c.heapCurrent ? heap : nullptr;
    EXPECT_EQ(MemDisposePtr(c.p), c.expected);
    EXPECT_EQ(MemGetError(), c.expected);
  }
  ASSERT_EQ(MemSetHeap(heap), 0u);
  EXPECT_EQ(MemCheckHeap(heap), 0u);
  EXPECT_EQ(MemDisposePtr(live), 0u);
  EXPECT_EQ(MemDisposeHeap(&heap), 0u);
#ifndef _WIN32
  if (guarded != nullptr) munmap(guarded - kGuardedBytes / 2, kGuardedBytes);
#endif
}
