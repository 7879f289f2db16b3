// Helpers for the memory manager's tests: the platform's block figures and
// a view of the current heap's block list.
#ifndef OKR_MEM_TEST_UTIL_H
#define OKR_MEM_TEST_UTIL_H

#include <vector>

#include "test_support.h"

constexpr uint32_t kOwner = sizeof(MemWord);
constexpr bool k32Bit = sizeof(void*) == 4;

// The block size a request of `n` bytes takes.
constexpr uint32_t BlockFor(uint32_t n) {
  return (n + kOwner + 15) / 16 * 16;
}

// The request that takes exactly `block` bytes.
constexpr uint32_t RequestFor(uint32_t block) {
  return block - kOwner;
}

inline std::vector<BlockDesc*> HeapBlocks(const Heap* heap = memCurrentHeap) {
  std::vector<BlockDesc*> blocks;
  for (BlockDesc* d = heap->firstBlock; d != nullptr; d = d->next)
    blocks.push_back(d);
  return blocks;
}

inline MemHeapInfo HeapInfo(Heap* heap = nullptr) {
  MemHeapInfo info{};
  EXPECT_EQ(MemGetHeapInfo(heap, &info), 0u);
  return info;
}

#endif
