// Memory manager internals shared by the files of mem/: layout constants,
// flag accessors, the owner word, and the operations the manager uses on
// itself (search, split, place, compaction, descriptor stack).
//
// Invariants of every heap (checked by MemCheckHeap):
// - The block list runs from firstBlock (the initial pool, whose data starts
//   right after the header) in ascending address order; each block starts
//   where the previous one ends, and the last ends at `limit`.
// - A block occupies blockSize bytes from its owner word, which is the
//   address-sized word just before `data` and names the block's descriptor
//   (the initial pool has none: the header's last field stands there).
// - Every block but the last has a size that is a multiple of the owner word,
//   so every block starts on a word boundary.
// - Free blocks (flags 0) are exactly the members of the free chain, and
//   freeBytes is the sum of their sizes.
// - Every descriptor lies in a pool block (flags 0x9000) and is either in the
//   block list or on the spare stack (data all ones).
// - The free-block index (index.h) lists exactly the chain's blocks of at
//   least 16 bytes, in chain order, and finds the block the chain rule
//   chooses without walking the chain.
#ifndef OKR_MEM_INTERNAL_H
#define OKR_MEM_INTERNAL_H

#include <okr/err.h>
#include <okr/mem.h>

#include <algorithm>
#include <cassert>
#include <cstring>

#include "core/fault.h"
#include "mem/shadow.h"

// The heap walker's checks (MemCheckHeap), made also where the manager
// relies on them, in builds without NDEBUG (the debug and test builds).
#ifdef NDEBUG
#define OKR_MEM_ASSERT(condition) static_cast<void>(0)
#else
#define OKR_MEM_ASSERT(condition) assert(condition)
#endif

namespace okr_mem {

// The owner word before every block's data.
constexpr MemWord kOwnerSize = sizeof(MemWord);
constexpr uint32_t kHeapMagic = 0x50414548;  // "HEAP" in memory order
constexpr uint32_t kMasterTag = 0x5254534D;  // "MSTR" in memory order
constexpr uint32_t kMinMasterCount = 64;
constexpr uint32_t kDefaultRegionSize = 0xE00000;
constexpr uint32_t kDefaultHeapSize = 0x1000000;

static_assert(offsetof(BlockDesc, data) == 0, "a handle dereferences to the data address");
static_assert(sizeof(void*) == sizeof(MemWord), "the owner word holds an address");
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(BlockDesc) == 32, "32-bit descriptors are eight 4-byte fields");
static_assert(offsetof(BlockDesc, nextFree) == 16, "the 32-bit field order");
static_assert(sizeof(Heap) == 48, "the 32-bit heap header is 48 bytes");
#else
static_assert(sizeof(BlockDesc) == 64, "64-bit descriptors: five addresses, six 32-bit words");
static_assert(offsetof(BlockDesc, nextFree) == 24, "the manager's label fills the gap");
#endif

// Process-wide statistics for MemGetHeapInfo.
extern uint32_t memCompactions;
extern uint32_t memPurgeCalls;

// ---- Flags --------------------------------------------------------------

inline bool IsFree(const BlockDesc* d) {
  return d->flags == memFlagFree;
}
inline bool IsInUse(const BlockDesc* d) {
  return (d->flags & memFlagInUse) != 0;
}
inline bool IsLocked(const BlockDesc* d) {
  return (d->flags & memFlagLocked) != 0;
}
inline bool IsResource(const BlockDesc* d) {
  return (d->flags & memFlagResource) != 0;
}

// ---- Spare descriptors and the owner word --------------------------------

inline void* SpareData() {
  return reinterpret_cast<void*>(~static_cast<uintptr_t>(0));
}
inline bool IsSpare(const BlockDesc* d) {
  return d->data == SpareData();
}

// First byte of the block: its owner word.
inline char* BlockStart(const BlockDesc* d) {
  return static_cast<char*>(d->data) - kOwnerSize;
}
inline char* BlockEnd(const BlockDesc* d) {
  return BlockStart(d) + d->blockSize;
}

// A block's owner word is written when the block gets a descriptor or a new
// data address, and only then: a block that keeps both keeps its owner word,
// which lies outside its data and outside every other block. (Blocks lie all
// over the heap, so each write is likely a cache miss.) Owner words are
// closed to the client (shadow.h).
inline void WriteOwner(BlockDesc* d) {
  StoreAddress(BlockStart(d), d);
}

inline BlockDesc* ReadOwner(const void* data) {
  return static_cast<BlockDesc*>(LoadAddress(static_cast<const char*>(data) - kOwnerSize));
}

// A handle that describes a client's block (not spare, not free).
inline bool IsLiveHandle(const BlockDesc* d) {
  return !IsSpare(d) && IsInUse(d);
}

// ---- Heaps (heap.cpp) ------------------------------------------------------

// True when `heap` is a heap of the list whose magic reads "HEAP". A heap
// not in the list is not read at all: a destroyed heap's header is released
// memory. (The walk stops at a heap whose magic is wrong: its links are
// suspect too.)
bool MemIsValidHeap(const Heap* heap);

// ---- Sizes ---------------------------------------------------------------

// The block size for a request of `n` bytes: n plus the owner word, raised to
// the granule. False when that does not fit in 32 bits.
bool MemBlockSizeFor(uint32_t n, uint32_t* blockSize);

// ---- Descriptors (pool.cpp) ----------------------------------------------

// Formats `count` descriptors at `entries` as spare ones chained in order; the
// last one's next is `tail`.
void MemFormatMasters(BlockDesc* entries, uint32_t count, BlockDesc* tail);
// A spare descriptor of the current heap, growing the pool when none is left;
// NULL when the pool cannot grow.
BlockDesc* MemTakeDesc();
// A spare descriptor if one is on the stack, else NULL; never grows the pool
// (growing may compact, which callers in the middle of a split must avoid).
BlockDesc* MemPopSpareDesc(Heap* heap);
// Unlinks the block of `d` (from the free chain too, if free) and makes `d`
// spare. Never called on the first block.
void MemReleaseDesc(BlockDesc* d);
// Makes `d`, out of the block list and the chain, spare: data all ones, on
// top of the spare stack.
void MemPushSpare(Heap* heap, BlockDesc* d);
// The same onto a stack whose top is `top` (heap->freeMasters, or a copy
// kept in a register while many descriptors go).
inline void MemPushSpareOnto(BlockDesc*& top, BlockDesc* d) {
  d->data = SpareData();
  d->prev = nullptr;
  d->next = top;
  if (top != nullptr) top->prev = d;
  top = d;
}
// Adds masterCount descriptors in one new pool block. 0, or 0x4283 with
// memLastError 0x4603.
ErrCode MemGrowMasters();
// The same where a free block holds the extension as the heap stands, with
// no compaction and no purge, so that no block moves; false (memLastError
// untouched) when none does, else true with memLastError 0.
bool MemGrowMastersInPlace(Heap* heap);

// ---- Free chain and allocation (alloc.cpp) -------------------------------

// The first block in chain order whose size is at least `size`, or NULL.
BlockDesc* MemChainFindFit(const Heap* heap, uint32_t size);
// Links free block `d` in front of the first block at least as large, or at
// the chain's end.
void MemChainInsert(Heap* heap, BlockDesc* d);
// Takes free block `d` out of the chain; its own links are left as they were.
void MemUnlinkFree(BlockDesc* d);
// The same for the chain alone, while the free-block index is suspended.
void MemChainUnlink(Heap* heap, BlockDesc* d);
// Writes `d`'s owner word and, if `d` is free, puts it in the chain.
void MemPlaceBlock(BlockDesc* d);
// A free block of at least `size` bytes (still in the chain), searching, then
// compacting once, then purging once; NULL with memLastError 0x4603. With
// noGrow 0 it first makes sure a spare descriptor exists.
BlockDesc* MemFindBlock(uint32_t size, int noGrow);
// Takes free block `d` out of the chain and cuts it to `size` (MemCutBlock).
void MemSplitBlock(BlockDesc* d, uint32_t size);
// Cuts block `d`, already out of the chain, to `size` when the rest is at
// least a granule and a spare descriptor is at hand; the rest becomes a free
// block. Otherwise `d` keeps its whole size.
void MemCutBlock(BlockDesc* d, uint32_t size);
// Gives free chain member `d` a new data address and size in place: it keeps
// its chain position, and its index node moves, leaves or joins with it.
// Nothing may have overwritten its payload yet.
void MemReshapeFree(Heap* heap, BlockDesc* d, char* data, uint32_t blockSize);
// Hands block `d`, out of the chain and cut to size, to its new owner:
// records the requested size and flags and counts its bytes out of
// freeBytes. The block keeps the data address it had while free, and so its
// owner word.
void MemClaimBlock(Heap* heap, BlockDesc* d, MemWord requestedSize, uint32_t flags);
// Frees in-use block `d`, merging it with its free neighbours (the body of
// MemDisposeHandle, which checks the handle first).
void MemFreeBlock(Heap* heap, BlockDesc* d);
// Links `d` into the block list right after `before`.
void MemLinkAfter(BlockDesc* before, BlockDesc* d);
// Makes `d` follow `prev` in the block list; a NULL `prev` makes `d` the
// first block, a NULL `d` makes `prev` the last.
void MemLinkPair(Heap* heap, BlockDesc* prev, BlockDesc* d);

// Exchanges the places of `a` and `b` in the block list (resize.cpp).
void MemSwapPlaces(Heap* heap, BlockDesc* a, BlockDesc* b);

// ---- Compaction (compact.cpp) --------------------------------------------

// Slides every movable block down over the free space before it and merges
// adjacent free blocks, in one pass over the current heap (see compact.cpp).
void MemCompactHeap();

}  // namespace okr_mem

#endif
