// The free-block index on long size classes: once a class list is long, the
// index finds places and fitting members through a treap over the list.
// Every step must leave the heap whole (the walker checks the treaps too)
// and choose the block a walk of the chain chooses.
#include <algorithm>
#include <tuple>
#include <vector>

#include "mem/index.h"
#include "mem_test_util.h"

using okr_mem::ClassTree;
using okr_mem::DescAt;
using okr_mem::IndexEffort;
using okr_mem::IndexOf;
using okr_mem::kClassCount;
using okr_mem::kGroupCount;
using okr_mem::kGroupFull;
using okr_mem::kGroupLeast;
using okr_mem::LoadTree;
using okr_mem::MemChainFindFit;
using okr_mem::TreeWords;

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
  for (const ClassTree& tree : IndexOf(heap)->trees) {
    if (tree.root != 0) return DescAt(heap, tree.root);
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

namespace {

// The most steps of each kind that one block operation took (IndexEffort),
// and the bound that index.h states for them. The operations measured free
// blocks, or allocate with spare descriptors at hand, so the master pool
// does not grow: at most three changes each (index.h's four and five are
// for an allocation that grows the pool and a resize that moves), each
// laying out at most one group (or merging small ones), weighing at most
// every class and refreshing every head once, and spreading every group key
// once.
struct Worst {
  IndexEffort most{};

  // Makes `op` (one block operation) with the counts cleared, and keeps the
  // highest of each.
  template <class Op>
  void Measure(const Heap* heap, Op op) {
    IndexEffort& effort = IndexOf(heap)->effort;
    effort = IndexEffort{};
    op();
    most.relabelled = std::max(most.relabelled, effort.relabelled);
    most.walked = std::max(most.walked, effort.walked);
    most.weighed = std::max(most.weighed, effort.weighed);
    most.keysSpread = std::max(most.keysSpread, effort.keysSpread);
  }
  void ExpectWithinBound() const {
    EXPECT_LE(most.relabelled, 3 * kGroupFull);
    EXPECT_LE(most.walked, 3 * (kGroupFull + 1));
    EXPECT_LE(most.weighed, 3 * 2 * kClassCount);
    EXPECT_LE(most.keysSpread, 3 * (kGroupCount - 1));
  }
};

// Free 32-byte blocks held apart by locked ones, each entering the chain in
// front of the one freed before, at one spot between groups of free 16- and
// 64-byte blocks (new groups at an end of the list take little of the room
// there): full groups split at the spot over and over, and the new groups'
// keys run out.
void FreeAtOneSpot(Heap* heap, Worst& worst) {
  std::vector<Handle> around;
  for (uint32_t size : {16u, 64u}) {
    for (uint32_t i = 0; i < 2 * kGroupFull; ++i) {
      around.push_back(MemNewHandle(RequestFor(size)));
      ASSERT_EQ(MemLockHandle(MemNewHandle(4)), 0u);
    }
  }
  for (Handle h : around)
    ASSERT_EQ(MemDisposeHandle(h), 0u);
  std::vector<Handle> blocks;
  for (int i = 0; i < 2 * 5000; ++i) {
    blocks.push_back(MemNewHandle(RequestFor(32)));
    ASSERT_NE(blocks.back(), nullptr);
  }
  for (size_t i = 0; i < blocks.size(); i += 2) {
    MemLockHandle(blocks[i + 1]);
    worst.Measure(heap, [&] { ASSERT_EQ(MemDisposeHandle(blocks[i]), 0u); });
  }
  // Taken back, newest first: groups run low and small ones meet.
  for (size_t i = blocks.size(); i > 0; i -= 2)
    worst.Measure(heap, [&] { blocks[i - 2] = MemNewHandle(RequestFor(32)); });
}

// Free blocks of some 200 sizes, one of each, then a 16-byte free block at
// the front of the chain that grows in place (the block after it is freed)
// beyond them all: its class is the one record, and every other class is in
// its gap. Taking it weighs them all again.
void HideEveryClass(Heap* heap, Worst& worst) {
  Handle front = MemNewHandle(RequestFor(16));
  Handle big = MemNewHandle(RequestFor(64 * 1024));
  std::vector<Handle> blocks;
  for (uint32_t size = 32; size < 32 * 1024; size += size < 1024 ? 16 : size / 32) {
    blocks.push_back(MemNewHandle(RequestFor(size)));
    MemLockHandle(MemNewHandle(8));
    ASSERT_NE(blocks.back(), nullptr);
  }
  ASSERT_EQ(MemDisposeHandle(front), 0u);  // the chain's first member
  for (Handle h : blocks)
    worst.Measure(heap, [&] { ASSERT_EQ(MemDisposeHandle(h), 0u); });
  worst.Measure(heap, [&] { ASSERT_EQ(MemDisposeHandle(big), 0u); });
  worst.Measure(heap, [&] { ASSERT_NE(MemNewHandle(RequestFor(48 * 1024)), nullptr); });
}

}  // namespace

// Each case drives a heap to the index's costliest kind of step and checks
// that no single block operation took more steps than index.h states, and
// that the case did reach that kind of step.
TEST(MemIndex, NoOperationGoesPastTheStatedBound) {
  const struct {
    const char* name;
    void (*drive)(Heap*, Worst&);
    uint32_t IndexEffort::*reached;
    uint32_t atLeast;
  } cases[] = {
      {"groups split at one spot", FreeAtOneSpot, &IndexEffort::relabelled, kGroupLeast - 1},
      {"group keys run out", FreeAtOneSpot, &IndexEffort::keysSpread, 2},
      {"a record hides every class", HideEveryClass, &IndexEffort::weighed, 150},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Heap* heap = nullptr;
    ASSERT_EQ(MemNewHeap(nullptr, 16384, nullptr, 8u << 20, &heap), 0u);
    ASSERT_EQ(MemSetHeap(heap), 0u);
    Worst worst;
    ASSERT_NO_FATAL_FAILURE(c.drive(heap, worst));
    EXPECT_EQ(MemCheckHeap(heap), 0u);
    worst.ExpectWithinBound();
    EXPECT_GE(worst.most.*c.reached, c.atLeast);
    ASSERT_EQ(MemDisposeHeap(&heap), 0u);
  }
}

// Past about 200,000 free blocks entering at one spot the label groups' ids
// run out and full groups grow instead of splitting. 32- and 48-byte blocks
// then freed behind the 16-byte ones grow one group over both sizes; a
// 48-byte block entering between them has more of that group on each side
// than a split gathers. Each case frees the 48-byte blocks up to that point,
// the last one after taking back some 16-byte blocks (which gives group ids
// back) or none; the heap must stay whole and choose as the chain.
TEST(MemIndex, GroupsGrownPastFullStayInOrder) {
  const struct {
    const char* name;
    int takenBack;  // 16-byte blocks allocated before the last 48-byte block is freed
  } cases[] = {{"no group id left", 0}, {"some group ids given back", 200}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Heap* heap = nullptr;
    ASSERT_EQ(MemNewHeap(nullptr, 16384, nullptr, 48u << 20, &heap), 0u);
    ASSERT_EQ(MemSetHeap(heap), 0u);
    std::vector<Handle> small, mid, large;
    for (auto [blocks, size, count] :
         {std::tuple{&small, 16u, 201000}, {&mid, 32u, 100}, {&large, 48u, 65}}) {
      for (int i = 0; i < count; ++i) {
        blocks->push_back(MemNewHandle(RequestFor(size)));
        ASSERT_EQ(MemLockHandle(MemNewHandle(4)), 0u);
      }
      ASSERT_NE(blocks->back(), nullptr);
    }
    for (Handle h : small)
      ASSERT_EQ(MemDisposeHandle(h), 0u);
    ASSERT_EQ(IndexOf(heap)->unusedGroups, 0u) << "group ids should have run out";
    for (Handle h : mid)
      ASSERT_EQ(MemDisposeHandle(h), 0u);
    for (size_t i = 0; i < large.size(); ++i) {
      if (i + 1 == large.size()) {
        for (int k = 0; k < c.takenBack; ++k)
          ASSERT_NE(MemNewHandle(RequestFor(16)), nullptr);
      }
      ASSERT_EQ(MemDisposeHandle(large[i]), 0u);
    }
    const ErrCode check = MemCheckHeap(heap);
    EXPECT_EQ(check, 0u);
    if (check == 0) ExpectChoosesAsTheChain(heap);  // a search asserts on a broken index
    ASSERT_EQ(MemDisposeHeap(&heap), 0u);
  }
}
