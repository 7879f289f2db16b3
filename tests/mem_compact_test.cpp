// Compaction against the pass that slides one block at a time: on heaps with
// locked blocks, runs of free blocks and an odd-sized last block, both must
// leave every byte of the region and of the index table the same.
#include <cstdlib>
#include <cstring>
#include <random>

#include "mem/debug.h"
#include "mem/index.h"
#include "mem_test_util.h"

using okr_mem::BlockStart;
using okr_mem::CopyUnwatched;
using okr_mem::IndexOf;
using okr_mem::IsFree;
using okr_mem::IsLocked;
using okr_mem::kOwnerSize;
using okr_mem::MemCompactHeap;
using okr_mem::memCompactions;
using okr_mem::MemDebugCompacted;
using okr_mem::MemDebugCompacting;
using okr_mem::MemDebugRewatch;
using okr_mem::MemDebugSlid;
using okr_mem::MemIndexBytes;
using okr_mem::MemIndexRebuild;
using okr_mem::MemIndexSuspend;
using okr_mem::MemLinkPair;
using okr_mem::MemReleaseDesc;
using okr_mem::MemReshapeFree;
using okr_mem::WriteOwner;

namespace {

// Moves the in-use successor of free block `f` down to f's place; f follows
// it with the same size and chain position.
void SlideOne(Heap* heap, BlockDesc* f) {
  BlockDesc* u = f->next;
  if (u->next == nullptr) {  // the odd tail of the heap's last block stays with f
    const uint32_t odd = u->blockSize % kOwnerSize;
    u->blockSize -= odd;
    f->blockSize += odd;
    heap->freeBytes += odd;
  }
  std::memmove(BlockStart(f), BlockStart(u), u->blockSize);
  void* const from = u->data;
  u->data = f->data;
  MemDebugSlid(heap, u, from);
  f->data = static_cast<char*>(f->data) + u->blockSize;
  WriteOwner(f);
  BlockDesc* before = f->prev;
  BlockDesc* after = u->next;
  MemLinkPair(heap, before, u);
  MemLinkPair(heap, u, f);
  MemLinkPair(heap, f, after);
}

// The reference: one pass, one block at a time.
void CompactOneByOne() {
  ++memCompactions;
  Heap* heap = memCurrentHeap;
  MemDebugCompacting(heap);
  MemIndexSuspend(heap);
  BlockDesc* cur = heap->firstBlock;
  while (cur->next != nullptr) {
    BlockDesc* nxt = cur->next;
    if (!IsFree(cur) || IsLocked(nxt)) {
      cur = nxt;
    } else if (IsFree(nxt)) {
      const uint32_t merged = cur->blockSize + nxt->blockSize;
      MemReleaseDesc(nxt);
      MemReshapeFree(heap, cur, static_cast<char*>(cur->data), merged);
    } else if (nxt->next != nullptr && IsLocked(nxt->next)) {
      cur = nxt;
    } else {
      SlideOne(heap, cur);
    }
  }
  MemIndexRebuild(heap);
  MemDebugCompacted(heap);
}

// The region's bytes, read past a memory checker (most of them are closed).
std::vector<char> Bytes(const char* at, size_t n) {
  std::vector<char> bytes(n);
  CopyUnwatched(bytes.data(), at, n);
  return bytes;
}

// A heap filled with random blocks, some locked, then about every `freeOne`th
// disposed of; the heap's odd tail is taken whole when `wholeTail`.
void Scatter(Heap* heap, uint32_t seed, uint32_t lockOne, uint32_t freeOne, bool wholeTail) {
  std::mt19937 rng(seed);
  std::vector<Handle> blocks;
  while (heap->freeBytes > 600) {
    Handle h = MemNewHandle(rng() % 300);
    ASSERT_NE(h, nullptr);
    std::memset(h->data, static_cast<int>(rng()), MemGetHandleSize(h));
    if (rng() % lockOne == 0) MemLockHandle(h);
    blocks.push_back(h);
  }
  if (wholeTail) {
    blocks.push_back(MemNewHandle(RequestFor(heap->freeBytes / 16 * 16)));
    ASSERT_EQ(heap->freeBytes, 0u);
  }
  for (Handle h : blocks) {
    if (rng() % freeOne == 0) {
      ASSERT_EQ(MemDisposeHandle(h), 0u);
    }
  }
}

}  // namespace

TEST(MemCompact, SameBytesAsSlidingOneBlockAtATime) {
  const struct {
    uint32_t seed, lockOne, freeOne;
    bool wholeTail;
  } cases[] = {
      {1, 1000, 2, true}, {2, 7, 2, true}, {3, 3, 3, false}, {4, 12, 4, true}, {5, 2, 2, true},
  };
  constexpr uint32_t kSize = 0x10000;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.seed);
    Heap* heap = nullptr;
    ASSERT_EQ(MemNewHeap(nullptr, 0, nullptr, kSize, &heap), 0u);
    ASSERT_EQ(MemSetHeap(heap), 0u);
    ASSERT_NO_FATAL_FAILURE(Scatter(heap, c.seed, c.lockOne, c.freeOne, c.wholeTail));
    auto* region = static_cast<char*>(heap->region);
    auto* table = reinterpret_cast<char*>(IndexOf(heap));
    const std::vector<char> before = Bytes(region, kSize);
    const std::vector<char> tableBefore(table, table + MemIndexBytes());

    CompactOneByOne();
    const std::vector<char> expected = Bytes(region, kSize);
    const std::vector<char> tableExpected(table, table + MemIndexBytes());
    CopyUnwatched(region, before.data(), kSize);
    std::memcpy(table, tableBefore.data(), MemIndexBytes());
    MemDebugRewatch(heap);
    MemCompactHeap();
    EXPECT_TRUE(Bytes(region, kSize) == expected);
    EXPECT_TRUE(std::memcmp(table, tableExpected.data(), MemIndexBytes()) == 0);
    EXPECT_NE(Bytes(region, kSize), before);  // something moved
    EXPECT_EQ(MemCheckHeap(heap), 0u);
    ASSERT_EQ(MemDisposeHeap(&heap), 0u);
  }
}

namespace {

// The region of `heap` as the internal pass leaves it; the heap itself is
// left as it was.
std::vector<char> CompactedRegion(Heap* heap, uint32_t size) {
  auto* region = static_cast<char*>(heap->region);
  auto* table = reinterpret_cast<char*>(IndexOf(heap));
  const std::vector<char> before = Bytes(region, size);
  const std::vector<char> tableBefore(table, table + MemIndexBytes());
  Heap* current = memCurrentHeap;
  memCurrentHeap = heap;
  MemCompactHeap();
  memCurrentHeap = current;
  std::vector<char> after = Bytes(region, size);
  CopyUnwatched(region, before.data(), size);
  std::memcpy(table, tableBefore.data(), MemIndexBytes());
  MemDebugRewatch(heap);
  return after;
}

}  // namespace

// The public call runs the search's compaction on the heap it names (NULL:
// the current one) and leaves the current heap selected.
TEST(MemCompact, PublicCallCompactsTheNamedHeap) {
  constexpr uint32_t kSize = 0x10000;
  const struct {
    bool namesOther;  // else NULL, the current heap
  } cases[] = {{false}, {true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.namesOther);
    Heap* heaps[2] = {};
    for (uint32_t i = 0; i < 2; ++i) {
      ASSERT_EQ(MemNewHeap(nullptr, 0, nullptr, kSize, &heaps[i]), 0u);
      ASSERT_EQ(MemSetHeap(heaps[i]), 0u);
      ASSERT_NO_FATAL_FAILURE(Scatter(heaps[i], 11 + i, 9, 2, false));
    }
    ASSERT_EQ(MemSetHeap(heaps[0]), 0u);
    Heap* target = c.namesOther ? heaps[1] : heaps[0];
    Heap* untouched = c.namesOther ? heaps[0] : heaps[1];
    const std::vector<char> expected = CompactedRegion(target, kSize);
    auto* still = static_cast<char*>(untouched->region);
    const std::vector<char> stillBefore = Bytes(still, kSize);
    const uint32_t runs = memCompactions;
    memLastError = errBadData;  // left alone
    EXPECT_EQ(MemCompact(c.namesOther ? target : nullptr), 0u);
    EXPECT_TRUE(Bytes(static_cast<char*>(target->region), kSize) == expected);
    EXPECT_TRUE(Bytes(still, kSize) == stillBefore);
    EXPECT_EQ(memCurrentHeap, heaps[0]);
    EXPECT_EQ(memCompactions, runs + 1);
    EXPECT_EQ(memLastError, ErrCode{errBadData});
    EXPECT_EQ(MemCheckHeap(target), 0u);
    MemDisposeAllHeaps();
  }
  Heap bad{};
  EXPECT_EQ(MemCompact(&bad), ErrCode{errMemBadHeap});
  EXPECT_EQ(MemCompact(nullptr), ErrCode{errMemNotStarted});  // no heap left
}
