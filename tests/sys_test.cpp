// Start-up and shutdown of the whole library, and the DLL's sample exports.
#include <gtest/gtest.h>
#include <okr/okr.h>

#include "res_builder.h"

namespace {

uint32_t RegionSize(const Heap* heap) {
  return static_cast<uint32_t>(heap->limit - static_cast<char*>(heap->region) + 1);
}

}  // namespace

TEST(Sys, StartAndShutdown) {
  const std::string good = TempPath("sys_good.res");
  const std::string damaged = TempPath("sys_damaged.res");
  WriteBytes(good, BuildResFile({{{"TEST", 32, "data"}}}));
  WriteBytes(damaged, Bytes(14, 'x'));  // shorter than a header
  const struct {
    const char* resPath;
    uint32_t heapSize;
    ErrCode result;
    int32_t started;
    uint32_t region;
    bool resFileOpen;
  } cases[] = {
      {nullptr, 0x100000, 0, 1, 0x100000, false},
      {nullptr, 0, 0, 1, 0xE00000, false},
      {nullptr, 64, 0x4602, 0, 0, false},
      {"no/such/resource/file.res", 0x100000, 0x4502, 1, 0x100000, false},
      {good.c_str(), 0x100000, 0, 1, 0x100000, true},
      // Opened, then refused and closed: no stream may stay named.
      {damaged.c_str(), 0x100000, 0x4503, 1, 0x100000, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.resPath != nullptr ? c.resPath : "no resource file");
    SCOPED_TRACE(c.heapSize);
    ASSERT_EQ(SysIsStarted(), 0);
    EXPECT_EQ(SysStart(c.resPath, c.heapSize, 7), c.result);
    EXPECT_EQ(SysIsStarted(), c.started);
    EXPECT_EQ(sysStartParam, 7u);
    EXPECT_EQ(sysResFile != nullptr, c.resFileOpen);
    if (c.started) {
      ASSERT_NE(memCurrentHeap, nullptr);
      EXPECT_EQ(memCurrentHeap->masterCount, 64u);
      EXPECT_EQ(RegionSize(memCurrentHeap), c.region);
    }
    SysShutdown();
    SysShutdown();  // a second call finds nothing to do
    EXPECT_EQ(SysIsStarted(), 0);
    EXPECT_EQ(sysResFile, nullptr);
    EXPECT_EQ(memHeapList, nullptr);
    EXPECT_EQ(memCurrentHeap, nullptr);
  }
  remove(good.c_str());
  remove(damaged.c_str());
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

// Shutdown at exit finds whatever heap the program selected last.
TEST(Sys, ShutdownClosesFilesWhateverHeapIsSelected) {
  const std::string good = TempPath("sys_selected.res");
  WriteBytes(good, BuildResFile({{{"TEST", 32, "data"}}}));
  ASSERT_EQ(SysStart(good.c_str(), 0x100000, 0), 0u);
  Heap* own = nullptr;
  ASSERT_EQ(MemNewHeap(nullptr, 0, nullptr, 0x10000, &own), 0u);
  ASSERT_EQ(MemSetHeap(own), 0u);
  SysShutdown();
  EXPECT_EQ(resLastError, 0u);
  EXPECT_EQ(resTopFile, nullptr);
  EXPECT_EQ(memHeapList, nullptr);
  remove(good.c_str());
}

TEST(Sys, SampleExports) {
  EXPECT_EQ(fnOKR_dll(), 42);
  EXPECT_EQ(nOKR_dll, 0);
}
