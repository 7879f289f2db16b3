// Heap debugging: fill bytes, scramble mode, and what a memory checker is
// told (shadow.h) as blocks come, go, grow, shrink and move.
//
// On (OKR_MEM_DEBUG, shadow.h) in builds with AddressSanitizer, with the
// OKR_VALGRIND option or with the OKR_HEAP_DEBUG option. Every hook below is
// then a call into debug.cpp; in other builds it is empty, and the block
// operations compile to what they are without it.
//
// Fill bytes (in every such build):
// - a block's requested bytes hold memFillNew when it is handed out, and so
//   do the bytes it gains when it grows;
// - the bytes after them, up to the block's end, hold memFillGuard;
// - a free block's bytes hold memFillFree, except its owner word and the
//   free-block index's words at the start of its payload (kManagerBytes).
// MemCheckFill (fill_check.cpp) finds what was written over them.
//
// The memory checker sees, besides: every heap as a Valgrind mempool, every
// client block as its chunk (its requested bytes), moves and resizes as chunk
// changes.
#ifndef OKR_MEM_DEBUG_H
#define OKR_MEM_DEBUG_H

#include "mem/internal.h"

#if OKR_MEM_DEBUG

// Every heap created while this is set starts with scramble mode on: the
// test suite's second run sets it (the library reads no environment).
extern bool memScrambleNewHeaps;

// A heap was laid out (it is current): its counters' debug state, its free
// block filled, its closed bytes closed, the mempool created.
void MemDebugNewHeap(Heap* heap);
// The heap is about to give its region back: everything opened again.
void MemDebugDisposeHeap(Heap* heap);

// A pool extension's `bytes` at `at` are about to be formatted.
void MemDebugOpenPool(void* at, size_t bytes);
// Pool block `pool` is formatted and claimed: its descriptors' index words
// and its tail are closed.
void MemDebugClosePool(BlockDesc* pool);

// Block `d`, just handed out, is filled and opened; it becomes a chunk.
void MemDebugClaim(Heap* heap, BlockDesc* d);
// Handle `h` is about to be disposed of: its chunk goes.
void MemDebugDispose(Heap* heap, BlockDesc* h);
// The bytes from `from` to `to`, the extent of a block just freed, are part
// of free block `free` now (with, after `to`, the head of a free block it
// took in): filled and closed.
void MemDebugFreed(Heap* heap, BlockDesc* free, char* from, char* to);

// Copies a block's `bytes` from `from` to a free place `to`, both of which
// may be closed; the caller then tells where the block went.
void MemDebugCopy(char* to, const char* from, size_t bytes);
// Handle `h` was resized: it had the data address `oldData`, `oldRequested`
// bytes asked for and ended at `oldEnd`. When it moved, its old place is a
// free block now.
void MemDebugResized(Heap* heap, BlockDesc* h, void* oldData, MemWord oldRequested, char* oldEnd);

// Compaction is about to move blocks: the closed bytes of every block are
// opened (and closed again, free blocks filled, by MemDebugCompacted).
void MemDebugCompacting(Heap* heap);
// Compaction moved block `d` from `oldData`.
void MemDebugSlid(Heap* heap, BlockDesc* d, void* oldData);
void MemDebugCompacted(Heap* heap);

// A call that may move memory begins: with scramble mode on, every unlocked
// block moves, and the places they leave are held until the call ends
// (scramble.cpp).
void MemDebugScrambleBegin(Heap* heap);
void MemDebugScrambleEnd(Heap* heap);
// The call found no free block that fits: the held places are given back.
// True when there were any (the search is worth making again).
bool MemDebugYield(Heap* heap);

// States anew, from the block list, which bytes of `heap` are open and
// which chunks it has: for a test that wrote a heap's bytes back unwatched.
void MemDebugRewatch(Heap* heap);

#else

inline void MemDebugNewHeap(Heap*) {}
inline void MemDebugDisposeHeap(Heap*) {}
inline void MemDebugOpenPool(void*, size_t) {}
inline void MemDebugClosePool(BlockDesc*) {}
inline void MemDebugClaim(Heap*, BlockDesc*) {}
inline void MemDebugDispose(Heap*, BlockDesc*) {}
inline void MemDebugFreed(Heap*, BlockDesc*, char*, char*) {}
inline void MemDebugCopy(char* to, const char* from, size_t bytes) {
  std::memcpy(to, from, bytes);
}
inline void MemDebugResized(Heap*, BlockDesc*, void*, MemWord, char*) {}
inline void MemDebugCompacting(Heap*) {}
inline void MemDebugSlid(Heap*, BlockDesc*, void*) {}
inline void MemDebugCompacted(Heap*) {}
inline void MemDebugScrambleBegin(Heap*) {}
inline void MemDebugScrambleEnd(Heap*) {}
inline bool MemDebugYield(Heap*) {
  return false;
}
inline void MemDebugRewatch(Heap*) {}

#endif

#endif
