// The free-block index on long size classes: once a class list is long, the
// index finds places and fitting members through a treap over the list.
// Every step must leave the heap whole (the walker checks the treaps too)
// and choose the block a walk of the chain chooses.
#include <vector>

#include "mem/index.h"
#include "mem_test_util.h"

namespace {

// The index's choice for sizes in exact and in mixed classes, against a walk.
void ExpectChoosesAsTheChain(const Heap* heap) {
  for (uint32_t size : {16u, 48u, 64u, 1040u, 1136u, 2064u, 2200u, 4104u, 5000u}) {
    const BlockDesc* walked = heap->freeBlocks;
    while (walked != nullptr && walked->blockSize < size)
      walked = walked->nextFree;
    ASSERT_EQ(MemChainFindFit(heap, size), walked) << size;
  }
}

// The root of some class's treap, or NULL.
BlockDesc* SomeTreap(const Heap* heap) {
  for (const ClassHead& head : IndexOf(heap)->heads) {
    if (head.tree != 0) return DescAt(heap, head.tree);
  }
  return nullptr;
}

}  // namespace

// Blocks of a few sizes (in a mixed class and an exact one), each held
// apart by a small block: freed smallest first they line up in the chain;
// small blocks that grow into the free block after them shrink it in place;
// freeing the small blocks then merges them into larger ones that change
// class in place, far down long class lists; the sizes are then taken back,
// largest first, each searched among members too small for it.
TEST(MemIndex, LongClassesStayExact) {
  Heap* heap = nullptr;
  ASSERT_EQ(MemNewHeap(nullptr, 0, nullptr, 8u << 20, &heap), 0u);
  ASSERT_EQ(MemSetHeap(heap), 0u);
  constexpr uint32_t kBlocks = 900;
  // One exact class, and one holding the four sizes 2048 to 2096.
  auto requestOf = [](uint32_t i) { return RequestFor(i % 3 == 0 ? 64 : 2048 + 16 * (i % 4)); };
  std::vector<Handle> blocks, pins;
  for (uint32_t i = 0; i < kBlocks; ++i) {
    blocks.push_back(MemNewHandle(requestOf(i)));
    pins.push_back(MemNewHandle(8));
    ASSERT_NE(pins.back(), nullptr);
  }
  auto step = [&] {
    ASSERT_EQ(MemCheckHeap(heap), 0u);
    ASSERT_NO_FATAL_FAILURE(ExpectChoosesAsTheChain(heap));
  };
  for (Handle h : blocks) {
    ASSERT_EQ(MemDisposeHandle(h), 0u);
    ASSERT_NO_FATAL_FAILURE(step());
  }
  BlockDesc* root = SomeTreap(heap);  // the long mixed class has one by now
  ASSERT_NE(root, nullptr);
  TreeWords node = LoadTree(root);
  node.maxSize += 16;  // and the walker checks it
  StoreTree(root, node);
  EXPECT_EQ(MemCheckHeap(heap), 0x4607u);
  node.maxSize -= 16;
  StoreTree(root, node);
  for (uint32_t i = 1; i + 1 < kBlocks; i += 3) {  // free blocks that shrink in place
    ASSERT_EQ(MemSetHandleSize(pins[i], RequestFor(32)), 0u);
    ASSERT_NO_FATAL_FAILURE(step());
  }
  for (uint32_t i = 0; i < kBlocks; i += 2) {  // merges, growing blocks in place
    ASSERT_EQ(MemDisposeHandle(pins[i]), 0u);
    ASSERT_NO_FATAL_FAILURE(step());
  }
  for (uint32_t i = kBlocks; i-- > 0;) {
    blocks[i] = MemNewHandle(requestOf(i));
    ASSERT_NE(blocks[i], nullptr);
    ASSERT_NO_FATAL_FAILURE(step());
  }
  ASSERT_EQ(MemDisposeHeap(&heap), 0u);
}
