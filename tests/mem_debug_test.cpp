// Finding handle bugs without a checker's help: fill bytes and the call that
// names the block written over them.
#include <vector>

#include "mem/debug.h"
#include "mem/index.h"
#include "mem_test_util.h"

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
