// A heap's own statistics: what compaction, purging and allocation count,
// and a record that callers of an older, shorter kind can still pass.
#include <vector>

#include "mem_test_util.h"

namespace {

// A record of `size` bytes, as a caller of that size sets it up.
MemHeapStats StatsRecord(uint32_t size) {
  MemHeapStats stats{};
  stats.size = size;
  return stats;
}

}  // namespace

TEST(MemStats, CountsPerHeap) {
  Heap *heap = nullptr, *other = nullptr;
  ASSERT_EQ(MemNewHeap(nullptr, 0, nullptr, 0x10000, &heap), 0u);
  ASSERT_EQ(MemNewHeap(nullptr, 0, nullptr, 0x10000, &other), 0u);
  ASSERT_EQ(MemSetHeap(heap), 0u);
  MemHeapStats fresh = StatsRecord(sizeof fresh);
  ASSERT_EQ(MemGetHeapStats(nullptr, &fresh), 0u);
  std::vector<Handle> blocks;
  for (int i = 0; i < 20; ++i)
    blocks.push_back(MemNewHandle(1000));
  for (int i = 0; i < 20; i += 2)
    ASSERT_EQ(MemDisposeHandle(blocks[i]), 0u);
  const uint32_t peak = fresh.bytesInUse + 20 * BlockFor(1000);
  ASSERT_NE(MemNewHandle(45000), nullptr);  // compacts: the odd blocks slide down
  MemHeapStats stats = StatsRecord(sizeof stats);
  ASSERT_EQ(MemGetHeapStats(heap, &stats), 0u);
  EXPECT_EQ(stats.size, sizeof stats);
  EXPECT_EQ(stats.compactions, 1u);
  EXPECT_EQ(stats.purgeCalls, 0u);
  EXPECT_EQ(stats.bytesCompacted, 10u * BlockFor(1000));
  EXPECT_EQ(stats.bytesInUse, fresh.bytesInUse + 10 * BlockFor(1000) + BlockFor(45000));
  EXPECT_EQ(stats.peakBytesInUse, std::max(peak, stats.bytesInUse));
  EXPECT_EQ(stats.scrambleMoves, 0u);

  // A record of an older, shorter kind gets the whole fields that fit; a
  // size that ends inside a field leaves that field out.
  const struct {
    uint32_t size, filled;
    ErrCode code;
  } sizes[] = {{0, 0, 0x4107}, {3, 3, 0x4107}, {4, 4, 0},   {6, 4, 0},
               {8, 8, 0},      {11, 8, 0},     {28, 24, 0}, {100, sizeof stats, 0}};
  for (const auto& s : sizes) {
    MemHeapStats partial = StatsRecord(s.size);
    EXPECT_EQ(MemGetHeapStats(heap, &partial), s.code);
    EXPECT_EQ(partial.size, s.filled);
    EXPECT_EQ(partial.compactions, s.filled >= 8 ? 1u : 0u);
    EXPECT_EQ(partial.bytesCompacted, s.filled == sizeof stats ? stats.bytesCompacted : 0u);
  }
  MemHeapStats untouched = StatsRecord(sizeof untouched);
  ASSERT_EQ(MemGetHeapStats(other, &untouched), 0u);
  EXPECT_EQ(untouched.compactions, 0u);
  EXPECT_EQ(MemGetHeapStats(heap, nullptr), 0x4101u);
  ASSERT_EQ(MemDisposeHeap(&other), 0u);
  ASSERT_EQ(MemDisposeHeap(&heap), 0u);
  EXPECT_EQ(MemGetHeapStats(nullptr, &untouched), 0x4601u);
}
