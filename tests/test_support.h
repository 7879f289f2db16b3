// Helpers shared by the test files: a fresh current heap per test, checked
// for consistency when the test ends.
#ifndef OKR_TEST_SUPPORT_H
#define OKR_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <okr/err.h>
#include <okr/mem.h>

// Gives every test its own selected heap of `kHeapTestSize` bytes and checks
// the heap's invariants (and destroys it) at the end.
class HeapTest : public ::testing::Test {
 protected:
  static constexpr uint32_t kHeapTestSize = 1u << 20;

  void SetUp() override {
    ASSERT_EQ(MemNewHeap(nullptr, 0, nullptr, kHeapTestSize, &heap_), 0u);
    ASSERT_EQ(MemSetHeap(heap_), 0u);
  }

  void TearDown() override {
    EXPECT_EQ(MemCheckHeap(heap_), 0u);
    EXPECT_EQ(MemDisposeHeap(&heap_), 0u);
  }

  // Number of client blocks in use in the current heap.
  static uint32_t BlocksInUse() {
    MemHeapInfo info{};
    EXPECT_EQ(MemGetHeapInfo(nullptr, &info), 0u);
    return info.blocksInUse;
  }

  Heap* heap_ = nullptr;
};

#endif
