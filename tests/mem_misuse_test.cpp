// Handle bugs reported where they happen: each case makes one misuse of a
// heap, which AddressSanitizer reports as use-after-poison and Valgrind's
// memcheck as an invalid access, both naming the case's own line.
#include <cstdlib>
#include <functional>
#include <string>

#include "mem/debug.h"
#include "mem_test_util.h"

using okr_mem::BlockEnd;
using okr_mem::BlockStart;

namespace {

volatile char sink;

char* DataOf(Handle h) {
  return static_cast<char*>(h->data);
}

// The bytes of a block that was disposed of.
char* Disposed() {
  Handle h = MemNewHandle(24);
  char* p = DataOf(h);
  MemDisposeHandle(h);
  return p;
}

// The first byte past a 13-byte request, which takes a larger block.
char* PastRequested() {
  return DataOf(MemNewHandle(13)) + 13;
}

// A byte in the free block after a new block.
char* InFreeBlock() {
  Handle h = MemNewHandle(24);
  return DataOf(h) + h->blockSize + 16;
}

// A data address kept across an allocation, which scramble mode makes move.
char* Stale() {
  MemSetScramble(nullptr, 1);
  char* p = DataOf(MemNewHandle(24));
  MemNewHandle(8);
  return p;
}

char* OwnerWordOfNewBlock() {
  return DataOf(MemNewHandle(24)) - 1;
}

// The sanitizer tracks 8-byte granules, each open up to some byte: a 32-bit
// owner word shares its granule with the block's first data bytes and stays
// open (mem.h). Valgrind sees every byte.
constexpr bool kOwnerWordWatched = !OKR_MEM_POISON || sizeof(void*) == 8;

// A checker watches this run: the sanitizer is built in, or Valgrind runs it.
bool Watched() {
#if OKR_MEM_POISON
  return true;
#elif OKR_VALGRIND
  return RUNNING_ON_VALGRIND != 0;
#else
  return false;
#endif
}

// Memcheck reports a misuse and lets the program go on: the case ends as the
// sanitizer would end it.
void EndIfReported() {
#if OKR_VALGRIND
  if (VALGRIND_COUNT_ERRORS > 0) std::_Exit(1);
#endif
}

}  // namespace

TEST_F(HeapTest, MisuseIsReportedAtItsLine) {
  if (!Watched()) GTEST_SKIP() << "no memory checker watches this run";
  // A fresh process per case, so that Valgrind, told to follow children,
  // watches it and writes to the stream the test reads.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const struct {
    const char* name;
    void (*misuse)();
    int line;
    bool watched;
  } cases[] = {
      {"read after dispose", [] { sink = *Disposed(); }, __LINE__, true},
      {"write past the requested size", [] { *PastRequested() = 1; }, __LINE__, true},
      {"write into a free block", [] { *InFreeBlock() = 1; }, __LINE__, true},
      {"write through a stale data address", [] { *Stale() = 1; }, __LINE__, true},
      {"write into an owner word", [] { *OwnerWordOfNewBlock() = 1; }, __LINE__, kOwnerWordWatched},
  };
  const std::string kind = OKR_MEM_POISON ? "use-after-poison" : "Invalid (read|write) of size 1";
  for (const auto& c : cases) {
    if (!c.watched) continue;
    SCOPED_TRACE(c.name);
    // The case's own line: the suite is built with debugging information.
    const std::string line = "mem_misuse_test\\.cpp:" + std::to_string(c.line) + "[^0-9]";
    EXPECT_DEATH(
        {
          c.misuse();
          EndIfReported();
        },
        kind + ".*" + line);
  }
}

#if OKR_MEM_POISON
// The first byte of the current heap that a client has no business touching
// but the sanitizer lets it: in a free block, in a block's tail, or in an
// owner word whose granule holds no data byte of its block (one that does
// stays open, see kOwnerWordWatched).
static const char* OpenButClosed() {
  for (BlockDesc* d : HeapBlocks()) {
    if (d == memCurrentHeap->firstBlock) continue;
    char* data = static_cast<char*>(d->data);
    char* tail = d->flags == 0 ? data : data + d->requestedSize;
    const bool ownerClosed = d->flags == 0 || reinterpret_cast<uintptr_t>(data) % 8 == 0;
    for (char* p = BlockStart(d); p < BlockEnd(d); ++p) {
      const bool closed = p < data ? ownerClosed : p >= tail;
      if (closed && !__asan_address_is_poisoned(p)) return p;
    }
  }
  return nullptr;
}

// Blocks that move keep every closed byte of the heap closed. After a pool
// extension a 32-bit build's blocks start 4 bytes into a granule, which
// they share with the end of the block before.
TEST_F(HeapTest, MovingBlocksLeavesNoClosedByteOpen) {
  std::vector<Handle> blocks;
  for (int i = 0; i < 90; ++i)
    blocks.push_back(MemNewHandle(20));
  const struct {
    const char* name;
    std::function<void()> call;
  } cases[] = {
      {"compaction",
       [&] {
         for (size_t i = 0; i < blocks.size(); i += 3)
           MemDisposeHandle(blocks[i]);
         MemCompact(nullptr);
       }},
      {"a resize that moves", [&] { ASSERT_EQ(MemSetHandleSize(blocks[80], 100), 0u); }},
      {"scramble mode",
       [] {
         MemSetScramble(nullptr, 1);
         MemNewHandle(8);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.call();
    EXPECT_EQ(OpenButClosed(), nullptr);
  }
}
#endif
