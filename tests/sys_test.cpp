// Start-up and shutdown of the whole library, and the DLL's sample exports.
#include <gtest/gtest.h>
#include <okr/okr.h>

namespace {

uint32_t RegionSize(const Heap* heap) {
  return static_cast<uint32_t>(heap->limit - static_cast<char*>(heap->region) + 1);
}

}  // namespace

TEST(Sys, StartAndShutdown) {
  const struct {
    const char* resPath;
    uint32_t heapSize;
    ErrCode result;
    int32_t started;
    uint32_t region;
  } cases[] = {
      {nullptr, 0x100000, 0, 1, 0x100000},
      {nullptr, 0, 0, 1, 0xE00000},
      {nullptr, 64, 0x4602, 0, 0},
      {"no/such/resource/file.res", 0x100000, 0x4502, 1, 0x100000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.heapSize);
    ASSERT_EQ(SysIsStarted(), 0);
    EXPECT_EQ(SysStart(c.resPath, c.heapSize, 7), c.result);
    EXPECT_EQ(SysIsStarted(), c.started);
    EXPECT_EQ(sysStartParam, 7u);
    if (c.started) {
      ASSERT_NE(memCurrentHeap, nullptr);
      EXPECT_EQ(memCurrentHeap->masterCount, 64u);
      EXPECT_EQ(RegionSize(memCurrentHeap), c.region);
    }
    SysShutdown();
    SysShutdown();  // a second call finds nothing to do
    EXPECT_EQ(SysIsStarted(), 0);
    EXPECT_EQ(memHeapList, nullptr);
    EXPECT_EQ(memCurrentHeap, nullptr);
  }
}

TEST(Sys, StartingTwiceMakesTwoHeapsShutDownOnce) {
  ASSERT_EQ(SysStart(nullptr, 0x10000, 0), 0u);
  Heap* first = memCurrentHeap;
  ASSERT_EQ(SysStart(nullptr, 0x10000, 0), 0u);
  EXPECT_NE(memCurrentHeap, first);
  EXPECT_EQ(memHeapList->nextHeap, first);
  SysShutdown();
  EXPECT_EQ(memHeapList, nullptr);
}

TEST(Sys, SampleExports) {
  EXPECT_EQ(fnOKR_dll(), 42);
  EXPECT_EQ(nOKR_dll, 0);
}
