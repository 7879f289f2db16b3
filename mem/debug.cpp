// The hooks of debug.h: fill bytes, and what the memory checker is told.
//
// What is closed (shadow.h), block by block: a free block whole; a block in
// use (a client's or a pool extension) its owner word and its tail, the
// bytes after those it asked for; the initial pool nothing (it has no owner
// word of its own). A 64-bit descriptor's index words, the region's bytes
// before the header and its last byte are closed for the heap's life.
#include "mem/debug.h"

#include "mem/counters.h"

#if OKR_MEM_DEBUG

namespace okr_mem {

bool memScrambleNewHeaps = false;
#if OKR_VALGRIND
bool memUnderValgrind = false;
#endif

namespace {

char* DataOf(const BlockDesc* d) {
  return static_cast<char*>(d->data);
}

// Writes `byte` over [from, to), which may be closed.
OKR_UNWATCHED void Fill(char* from, const char* to, uint8_t byte) {
  if (from >= to) return;
#if OKR_MEM_POISON
  // Volatile stores: a loop that the compiler turned into a call of memset
  // would be checked, the caller's attribute notwithstanding.
  const uint64_t word = 0x0101010101010101u * byte;
  for (; from < to && reinterpret_cast<uintptr_t>(from) % 8 != 0; ++from)
    *reinterpret_cast<volatile uint8_t*>(from) = byte;
  for (; to - from >= 8; from += 8)
    *reinterpret_cast<volatile uint64_t*>(from) = word;
  for (; from < to; ++from)
    *reinterpret_cast<volatile uint8_t*>(from) = byte;
#else
  OKR_QUIET_BEGIN;
  std::memset(from, byte, static_cast<size_t>(to - from));
  OKR_QUIET_END;
#endif
}

// Fills the part of [from, to) that lies in free block `free` after its
// index's words.
void FillFree(const BlockDesc* free, char* from, char* to) {
  Fill(std::max(from, DataOf(free) + kManagerBytes), std::min(to, BlockEnd(free)), memFillFree);
}

void CloseRange(const char* from, const char* to) {
  if (from < to) CloseBytes(from, static_cast<size_t>(to - from));
}

// The closed parts of every block of `heap`, each given to `f`: from the
// heap's end down, a block's tail before its owner word. A closed part can
// end inside one of the sanitizer's 8-byte granules, which the next block's
// owner word then shares (a 32-bit block after a pool extension starts 4
// bytes into a granule); the sanitizer closes a granule's last bytes only if
// they are closed already, and opening that word opened them.
template <class F>
void ForClosedParts(const Heap* heap, F f) {
  const BlockDesc* d = heap->firstBlock;
  while (d->next != nullptr)
    d = d->next;
  for (; d != heap->firstBlock; d = d->prev) {
    if (IsFree(d)) {
      f(BlockStart(d), BlockEnd(d));
    } else {
      f(DataOf(d) + d->requestedSize, BlockEnd(d));
      f(BlockStart(d), DataOf(d));
    }
  }
}

// Closes again the closed end of `d` (a free block whole, a block in use its
// tail), whose last granule the owner word after it may share: see
// ForClosedParts. For after that word was opened and closed again.
void CloseEndAgain(const BlockDesc* d) {
  if (d->prev == nullptr) return;  // the initial pool, which ends on a granule
  CloseRange(IsFree(d) ? BlockStart(d) : DataOf(d) + d->requestedSize, BlockEnd(d));
}

// Closes the index words of the descriptors in pool block `pool` (a 32-bit
// descriptor has none).
void CloseIndexWords([[maybe_unused]] const BlockDesc* pool) {
#if UINTPTR_MAX > 0xFFFFFFFFu
  auto* d = static_cast<BlockDesc*>(pool->data);
  for (MemWord i = 0; i < pool->requestedSize / sizeof(BlockDesc); ++i, ++d) {
    CloseBytes(&d->indexLabel, sizeof d->indexLabel);
    CloseBytes(&d->indexNext, sizeof d->indexNext + sizeof d->indexPrev);
  }
#endif
}

}  // namespace

void MemDebugNewHeap(Heap* heap) {
#if OKR_VALGRIND
  // A program does not start running under Valgrind later: asked once.
  static bool asked = false;
  if (!asked) {
    memUnderValgrind = RUNNING_ON_VALGRIND != 0;
    asked = true;
  }
#endif
  CountersOf(heap).scramble = memScrambleNewHeaps;
  OKR_TELL_VALGRIND(VALGRIND_CREATE_MEMPOOL(heap, 0, 0));
  CloseRange(static_cast<char*>(heap->region), reinterpret_cast<char*>(heap));
  CloseBytes(heap->limit, 1);
  CloseIndexWords(heap->firstBlock);
  BlockDesc* free = heap->firstBlock->next;
  FillFree(free, BlockStart(free), BlockEnd(free));
  CloseBytes(BlockStart(free), free->blockSize);
}

void MemDebugDisposeHeap([[maybe_unused]] Heap* heap) {
  [[maybe_unused]] char* region = static_cast<char*>(heap->region);
  [[maybe_unused]] const auto bytes = static_cast<size_t>(heap->limit + 1 - region);
#if OKR_MEM_POISON
  ASAN_UNPOISON_MEMORY_REGION(region, bytes);
#endif
  OKR_TELL_VALGRIND(VALGRIND_DESTROY_MEMPOOL(heap));
  OKR_TELL_VALGRIND(VALGRIND_MAKE_MEM_DEFINED(region, bytes));  // the header is still read
}

void MemDebugOpenPool(void* at, size_t bytes) {
  OpenBytes(at, bytes);
}

void MemDebugClosePool(BlockDesc* pool) {
  CloseIndexWords(pool);
  Fill(DataOf(pool) + pool->requestedSize, BlockEnd(pool), memFillGuard);
  CloseRange(DataOf(pool) + pool->requestedSize, BlockEnd(pool));
}

void MemDebugClaim([[maybe_unused]] Heap* heap, BlockDesc* d) {
  char* data = DataOf(d);
  const size_t requested = d->requestedSize;
  Fill(data, data + requested, memFillNew);
  Fill(data + requested, BlockEnd(d), memFillGuard);
  OpenBytes(data, requested);
  OKR_TELL_VALGRIND(VALGRIND_MEMPOOL_ALLOC(heap, data, requested));
}

void MemDebugDispose([[maybe_unused]] Heap* heap, [[maybe_unused]] BlockDesc* h) {
  OKR_TELL_VALGRIND(VALGRIND_MEMPOOL_FREE(heap, h->data));
}

void MemDebugFreed(Heap*, BlockDesc* free, char* from, char* to) {
  // A free block that followed was taken in: its owner word and index words
  // are free bytes now.
  FillFree(free, from, to + kOwnerSize + kManagerBytes);
  CloseRange(from, to);
}

void MemDebugCopy(char* to, const char* from, size_t bytes) {
  OpenBytes(to, bytes);
#if OKR_MEM_POISON
  ASAN_UNPOISON_MEMORY_REGION(from, bytes);  // the owner word and the tail
#endif
  OKR_QUIET_BEGIN;
  std::memcpy(to, from, bytes);
  OKR_QUIET_END;
}

void MemDebugResized([[maybe_unused]] Heap* heap, BlockDesc* h, void* oldData, MemWord oldRequested,
                     char* oldEnd) {
  char* data = DataOf(h);
  char* end = BlockEnd(h);
  if (data != oldData) {
    // Moved (copied by MemDebugCopy, which opened the new place): the old
    // place is a free block, or a place a scramble pass holds until it ends.
    BlockDesc* old = ReadOwner(oldData);
    FillFree(old, BlockStart(old), BlockEnd(old));
    CloseBytes(BlockStart(old), old->blockSize);
    CloseBytes(BlockStart(h), kOwnerSize);
    CloseEndAgain(old->prev);  // MemDebugCopy opened both owner words
    CloseEndAgain(h->prev);
  } else if (end < oldEnd) {
    // The bytes given back belong to the free block after h now, which may
    // have grown down over them from its old head at oldEnd.
    FillFree(h->next, end, oldEnd + kOwnerSize + kManagerBytes);
    CloseRange(end, oldEnd);
  }
  // The tail first: closing bytes after an open part of the sanitizer's
  // 8-byte granule keeps that part open, opening reopens the whole granule.
  const size_t requested = h->requestedSize;
  Fill(data + requested, end, memFillGuard);
  CloseRange(data + requested, end);
  if (requested > oldRequested) {
    Fill(data + oldRequested, data + requested, memFillNew);
    OpenBytes(data + oldRequested, requested - oldRequested);
  }
  OKR_TELL_VALGRIND(VALGRIND_MEMPOOL_CHANGE(heap, oldData, data, requested));
}

void MemDebugCompacting(Heap* heap) {
  ForClosedParts(heap, [](char* from, char* to) {
    if (from < to) OpenBytes(from, static_cast<size_t>(to - from));
  });
}

void MemDebugSlid([[maybe_unused]] Heap* heap, [[maybe_unused]] BlockDesc* d,
                  [[maybe_unused]] void* oldData) {
  OKR_TELL_VALGRIND(VALGRIND_MEMPOOL_CHANGE(heap, oldData, d->data, d->requestedSize));
}

void MemDebugRewatch(Heap* heap) {
  OKR_TELL_VALGRIND(VALGRIND_DESTROY_MEMPOOL(heap));
  OKR_TELL_VALGRIND(VALGRIND_CREATE_MEMPOOL(heap, 0, 0));
  ForClosedParts(heap, CloseRange);
  const MemWord poolBytes = MemWord{heap->masterCount} * sizeof(BlockDesc);
  for (const BlockDesc* d = heap->firstBlock->next; d != nullptr; d = d->next) {
    // A pool extension is told from a locked block by its shape, as the
    // heap walker tells it (good enough for the tests this serves).
    if (IsFree(d) || (d->flags == memFlagPool && d->requestedSize == poolBytes)) continue;
    OpenBytes(d->data, d->requestedSize);
    OKR_TELL_VALGRIND(VALGRIND_MEMPOOL_ALLOC(heap, d->data, d->requestedSize));
  }
}

void MemDebugCompacted(Heap* heap) {
  for (const BlockDesc* d = heap->firstBlock->next; d != nullptr; d = d->next) {
    if (IsFree(d)) FillFree(d, BlockStart(d), BlockEnd(d));
  }
  ForClosedParts(heap, CloseRange);
}

}  // namespace okr_mem

#endif
