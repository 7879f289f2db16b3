// Finding handle bugs without a checker's help: fill bytes and the call that
// names the block written over them, and scramble mode.
#include <functional>
#include <set>
#include <vector>

#include "mem/debug.h"
#include "mem/index.h"
#include "mem_test_util.h"

using okr_mem::BlockEnd;
using okr_mem::BlockStart;
using okr_mem::CopyUnwatched;
using okr_mem::kManagerBytes;

namespace {

// The bytes a block's data holds from `from` up to `to` (closed ones too).
std::vector<uint8_t> BytesOf(Handle h, uint32_t from, uint32_t to) {
  std::vector<uint8_t> bytes(to - from);
  CopyUnwatched(bytes.data(), static_cast<char*>(h->data) + from, bytes.size());
  return bytes;
}

}  // namespace

TEST_F(HeapTest, FillBytesOfNewGrownAndFreeBlocks) {
  if (!OKR_MEM_DEBUG) GTEST_SKIP() << "this build fills no bytes";
  Handle h = MemNewHandle(13);
  Handle wall = MemNewHandle(8);
  const auto tail = static_cast<uint32_t>(h->blockSize - kOwner);
  EXPECT_EQ(BytesOf(h, 0, 13), std::vector<uint8_t>(13, memFillNew));
  EXPECT_EQ(BytesOf(h, 13, tail), std::vector<uint8_t>(tail - 13, memFillGuard));
  std::memset(h->data, 1, 13);
  ASSERT_EQ(MemSetHandleSize(h, 40), 0u);  // moves past the wall
  EXPECT_EQ(BytesOf(h, 0, 13), std::vector<uint8_t>(13, 1));
  EXPECT_EQ(BytesOf(h, 13, 40), std::vector<uint8_t>(27, memFillNew));
  BlockDesc* old = wall->prev;  // h's old place, free now
  ASSERT_EQ(old->flags, 0u);
  const uint32_t payload = old->blockSize - kOwner;
  EXPECT_EQ(BytesOf(old, kManagerBytes, payload),
            std::vector<uint8_t>(payload - kManagerBytes, memFillFree));
}

TEST_F(HeapTest, CheckFillNamesTheDamagedBlock) {
  if (!OKR_MEM_DEBUG) GTEST_SKIP() << "this build fills no bytes";
  Handle a = MemNewHandle(60), sep = MemNewHandle(8), b = MemNewHandle(13);
  ASSERT_EQ(MemDisposeHandle(a), 0u);  // a stays a free block of its own
  // Each case writes one byte where no client may and expects the block,
  // the offset from its data and the pattern found broken.
  const struct {
    const char* name;
    Handle block;
    uint32_t offset;
    uint8_t expected;
    ErrCode code;
  } cases[] = {
      {"written after dispose", a, 50, memFillFree, 0x4607},
      {"written past the requested size", b, 13, memFillGuard, 0x460C},
      {"the last byte of a block's tail", b, static_cast<uint32_t>(b->blockSize - kOwner - 1),
       memFillGuard, 0x460C},
  };
  MemDamage damage;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    char* at = static_cast<char*>(c.block->data) + c.offset;
    const char scribble = 0x42;
    char saved;
    CopyUnwatched(&saved, at, 1);
    CopyUnwatched(at, &scribble, 1);
    EXPECT_EQ(MemCheckHeap(nullptr), 0u);  // the structure is whole
    EXPECT_EQ(MemCheckFill(nullptr, &damage), c.code);
    EXPECT_EQ(damage.block, c.block);
    EXPECT_EQ(damage.offset, c.offset);
    EXPECT_EQ(damage.expected, c.expected);
    EXPECT_EQ(damage.found, 0x42);
    CopyUnwatched(at, &saved, 1);
    EXPECT_EQ(MemCheckFill(nullptr, &damage), 0u);
    EXPECT_EQ(damage.block, nullptr);
  }
  EXPECT_EQ(MemCheckFill(nullptr, nullptr), 0x4101u);
  EXPECT_EQ(MemDisposeHandle(sep), 0u);
  EXPECT_EQ(MemDisposeHandle(b), 0u);
}

// Each call that may move memory moves every unlocked block to bytes that no
// block held before; locked blocks stay; contents and sizes stay.
TEST_F(HeapTest, ScrambleMovesEveryUnlockedBlockToFreshBytes) {
  if (!OKR_MEM_DEBUG) {
    EXPECT_EQ(MemSetScramble(nullptr, 1), 0x4104u);
    GTEST_SKIP() << "this build has no scramble mode";
  }
  std::vector<Handle> blocks;
  for (uint32_t i = 0; i < 24; ++i) {
    blocks.push_back(MemNewHandle(8 + 40 * i));
    std::memset(blocks.back()->data, static_cast<int>(i), MemGetHandleSize(blocks.back()));
  }
  MemLockHandle(blocks[5]);
  ASSERT_EQ(MemSetScramble(nullptr, 1), 0u);
  Handle grown = blocks[7];
  const std::function<void()> calls[] = {
      [] { MemNewHandle(100); },
      [&] { ASSERT_EQ(MemSetHandleSize(grown, MemGetHandleSize(grown) + 64), 0u); },
      [] { MemDisposePtr(MemNewPtrClear(10)); },
  };
  for (const auto& call : calls) {
    std::set<uintptr_t> before;  // every byte of every block in use
    for (BlockDesc* d : HeapBlocks()) {
      for (char* p = BlockStart(d); d->flags != 0 && p < BlockEnd(d); ++p)
        before.insert(reinterpret_cast<uintptr_t>(p));
    }
    std::vector<void*> places;
    for (Handle h : blocks)
      places.push_back(h->data);
    call();
    for (size_t i = 0; i < blocks.size(); ++i) {
      SCOPED_TRACE(i);
      const bool locked = i == 5;
      EXPECT_EQ(blocks[i]->data == places[i], locked);
      if (!locked) {
        EXPECT_EQ(before.count(reinterpret_cast<uintptr_t>(BlockStart(blocks[i]))), 0u);
      }
      EXPECT_EQ(BytesOf(blocks[i], 0, 8 + 40 * static_cast<uint32_t>(i)),
                std::vector<uint8_t>(8 + 40 * i, static_cast<uint8_t>(i)));
    }
    ASSERT_EQ(MemCheckHeap(nullptr), 0u);
  }
  EXPECT_EQ(MemSetScramble(nullptr, 0), 0u);
  const std::vector<void*> still = {blocks[0]->data, blocks[1]->data};
  MemNewHandle(100);
  EXPECT_EQ(blocks[0]->data, still[0]);
  EXPECT_EQ(blocks[1]->data, still[1]);
}
