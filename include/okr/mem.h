/* okr memory manager: relocatable blocks named by handles, inside heaps that
   are carved out of one region each and compacted when space runs short.

   A Handle is the address of a BlockDesc whose first field holds the block's
   current data address, so `h->data` (or `*(void**)h`) always finds the
   block. Blocks move whenever the heap is compacted, which any allocation or
   resize may do; a data address may be kept only while the handle is locked.

   Every block operation works on the current heap (`memCurrentHeap`).
   Handles are taken on trust: dispose of or resize a handle only while its
   own heap is the current one (MemSetHeap first), since the operation
   works on the current heap's free blocks and counters and a handle of
   another heap damages both heaps (lock, unlock and the accessors touch
   the descriptor alone and work whatever heap is current).
   Operations that return a handle or pointer report failure through
   `memLastError` (read it with MemGetError right after the call). */
#ifndef OKR_MEM_H
#define OKR_MEM_H

#include <okr/types.h>

OKR_BEGIN_DECLS

/* The owner word, and the descriptor fields that hold addresses, are as wide
   as an address: 4 bytes on 32-bit builds, 8 on 64-bit ones. */
typedef uintptr_t MemWord;

typedef struct BlockDesc BlockDesc;
typedef struct Heap Heap;

/* A handle: the address of a block's descriptor. It never changes while the
   block exists, however often the block moves. */
typedef BlockDesc* Handle;

/* Called when an allocation fails even after compaction, with the block size
   (not the client's size) that is needed. It may dispose of blocks of the
   current heap, and allocate: a search it makes itself does not call it
   again (it fails after compacting), and what such a search leaves in
   memLastError stays there when the outer search then succeeds. It must not
   destroy the heap it purges (nor all heaps): the operation that called it
   goes on working in that heap when it returns. */
typedef void (*PurgeProc)(uint32_t blockSize);

/* One master pointer. Descriptors live in pool blocks and never move. A
   32-bit build has eight 4-byte fields (32 bytes). A 64-bit build widens only
   the addresses and adds three words of the manager's own, where a free
   block keeps its place in the free-block index (a 32-bit build keeps them
   in the free block itself): 64 bytes. */
struct BlockDesc {
  void* data;         /* first data byte; all bits set in a spare entry */
  uint32_t tag;       /* "MSTR", written when the entry is formatted */
  uint32_t flags;     /* memFlag* bits; 0 for a free block */
  uint32_t blockSize; /* bytes the block occupies, its owner word included */
#if UINTPTR_MAX > 0xFFFFFFFFu
  uint32_t indexLabel; /* the manager's own */
#endif
  union {
    MemWord requestedSize; /* in use: the size the client asked for */
    BlockDesc* nextFree;   /* free: the next block of the free chain */
  };
  BlockDesc* prevFree; /* free: the previous block of the free chain */
  BlockDesc* next;     /* next block in address order (spare: next spare) */
  BlockDesc* prev;     /* previous block in address order (spare: previous spare) */
#if UINTPTR_MAX > 0xFFFFFFFFu
  uint32_t indexNext, indexPrev; /* the manager's own */
#endif
};

/* The header at the start of every heap. */
struct Heap {
  uint32_t magic;         /* "HEAP" while the heap is valid */
  uint32_t id;            /* 1, 2, ...; never reused */
  void* region;           /* the region as obtained from malloc */
  char* limit;            /* the region's last byte, never part of a block */
  uint32_t masterCount;   /* descriptors per pool and per pool extension */
  BlockDesc* freeMasters; /* stack of spare descriptors */
  BlockDesc* firstBlock;  /* the initial pool's block, first in address order */
  BlockDesc* freeBlocks;  /* head of the free chain */
  uint32_t freeBytes;     /* sum of the blockSize of all free blocks */
  PurgeProc purgeProc;    /* or NULL */
  Heap* nextHeap;         /* the heap created before this one */
  Heap* prevHeap;         /* the heap created after this one */
};

/* Block flags. */
enum {
  memFlagFree = 0x0000,     /* in the free chain */
  memFlagInUse = 0x1000,    /* belongs to a client */
  memFlagResource = 0x4000, /* resource data: MemDisposeHandle refuses it */
  memFlagLocked = 0x8000,   /* must not move; locks do not nest */
  memFlagPool = 0x9000      /* a master-pointer pool: in use and locked */
};

/* Module state. */
OKR_API extern Heap* memCurrentHeap;   /* the heap every block operation works on */
OKR_API extern Heap* memHeapList;      /* the newest heap; all heaps chain from it */
OKR_API extern uint32_t memNextHeapId; /* id of the next heap created, from 1 */
OKR_API extern uint32_t memBlockAlign; /* the block granule, 16; read only */
OKR_API extern ErrCode memLastError;   /* 0x4601 until the first heap or allocation */

/* ---- Heaps ------------------------------------------------------------- */

/* Creates a heap in the `regionSize` bytes at `region` (taken over; must
   come from malloc) or, when `region` is NULL, in `regionSize` bytes from
   malloc. A `regionSize` of 0 means 0xE00000 in both cases, so a region
   passed in with size 0 must hold that many bytes. `masterCount` below 64
   becomes 64. The heap is linked at the head of memHeapList but not
   selected. memLastError is set to 0 and *outHeap to NULL first.
   Returns 0; 0x4101 for a NULL outHeap (the region stays the caller's);
   0x4102 when malloc fails (a region passed in is freed); 0x4602, also in
   memLastError, when the region cannot hold the header, the pool and the
   first owner word (the region is freed, even one the caller passed in). */
OKR_API ErrCode MemNewHeap(PurgeProc purge, uint32_t masterCount, void* region, uint32_t regionSize,
                           Heap** outHeap);

/* Selects `heap` as the current heap. 0x4602 for NULL or a heap that is not
   valid: not in memHeapList (one destroyed already, whose header is then not
   read) or whose magic is not "HEAP"; the selection then stays. The other
   operations that name a heap refuse the same ones with 0x4602. */
OKR_API ErrCode MemSetHeap(Heap* heap);

/* Destroys the heap in *heapRef, gives its region back and sets *heapRef to
   NULL. Every handle of the heap is void afterwards; if it was the current
   heap, no heap is current any more. 0x4602 for a NULL heapRef, a NULL heap
   or one that is not valid (see MemSetHeap). */
OKR_API ErrCode MemDisposeHeap(Heap** heapRef);

/* Destroys every heap, newest first. */
OKR_API void MemDisposeAllHeaps(void);

/* The constant 0x1000000. */
OKR_API uint32_t MemDefaultHeapSize(void);

/* Creates a heap of `heapSize` bytes (64 master pointers, no purge callback)
   and selects it. Returns the first failure of MemNewHeap/MemSetHeap, or 0. */
OKR_API ErrCode MemStart(uint32_t heapSize);

/* ---- Handles ----------------------------------------------------------- */

/* The memory manager's last error. */
OKR_API ErrCode MemGetError(void);

/* A new unlocked block of `size` bytes (not cleared), or NULL with
   memLastError 0x4603 (out of memory, also for sizes whose block would not
   fit in 32 bits) or 0x4601 (no current heap). May compact the heap. */
OKR_API Handle MemNewHandle(uint32_t size);

/* Frees the block, locked or not, merging it with free neighbours; the handle
   must not be used again. Returns 0; 0x460A for resource data (left
   allocated); 0x4604 for NULL; 0x4607 for a handle that is not in use;
   0x4601 with no current heap. Does not write memLastError. */
OKR_API ErrCode MemDisposeHandle(Handle h);

/* Set / clear the lock bit and nothing else. 0, or 0x4604 for NULL. */
OKR_API ErrCode MemLockHandle(Handle h);
OKR_API ErrCode MemUnlockHandle(Handle h);

/* The size last asked for (allocation or resize); 0 for NULL. */
OKR_API uint32_t MemGetHandleSize(Handle h);

/* The whole flags word; 0 for NULL. */
OKR_API uint32_t MemGetFlags(Handle h);

/* Replaces the whole flags word (keep memFlagInUse set on a block in use).
   0, or 0x4604 for NULL. */
OKR_API ErrCode MemSetFlags(Handle h, uint32_t flags);

/* Changes the size of the block to `newSize`, in place where possible
   (shrinking always is), else by moving it. The contents up to the smaller
   of the two sizes are kept. Returns 0; 0x4609 when a locked block would
   have to move; 0x4603 when no block is large enough (the handle keeps its
   old block and contents; memLastError is 0x4603 too); 0x4604 for NULL;
   0x4607 for a handle not in use; 0x4601 with no current heap. A purge
   callback made on the way that changes this very handle has its change
   kept and ends a resize whose search then found a block: 0x4607 when it
   disposed of or resized it, 0x4609 when it locked it (a search that finds
   none gives 0x4603 all the same). memLastError is otherwise written only by a
   pool growth on the way (0, or 0x4603). */
OKR_API ErrCode MemSetHandleSize(Handle h, uint32_t newSize);

/* ---- Pointers: data addresses of locked blocks ------------------------- */

/* The data address of a new locked block of `size` bytes, or NULL (see
   MemNewHandle), also when memLastError is not 0 after the allocation (a
   purge callback's own failed allocation left it), with nothing allocated.
   MemNewPtrClear also sets the first `size` bytes to 0. */
OKR_API void* MemNewPtr(uint32_t size);
OKR_API void* MemNewPtrClear(uint32_t size);

/* Disposes of the block whose data address is `p` (a pointer, or the data
   address of any handle of the current heap). Returns and stores in
   memLastError: 0; 0x4608 when the owner word before `p` is 0 or `p` is not
   the data address of a client's block of the current heap (nothing outside
   that heap is read, and a handle passed by mistake never frees the
   master-pointer pool it starts); 0x4607 for the data address of a block
   disposed of already that is still free under its handle (MemDisposeHandle's
   answer; most such addresses get 0x4608); 0x460A for resource data; 0x4605
   for NULL; 0x4601 with no current heap. */
OKR_API ErrCode MemDisposePtr(void* p);

/* The handle named by the owner word before `p`, which must be the data
   address of a block of a heap that still exists (the word is read as it
   is); NULL for NULL or a 0 word. */
OKR_API Handle MemPtrToHandle(void* p);

/* ---- Compaction --------------------------------------------------------- */

/* Compacts `heap` (NULL: the current heap) now, as an allocation that finds
   no free block large enough does before it searches again: one pass that
   merges adjacent free blocks and slides every unlocked block down over the
   free space before it. Locked blocks stay, and so does the free space in
   front of them (and in front of an unlocked block followed by a locked
   one). Every handle of a moved block still finds its contents; data
   addresses taken from unlocked handles are stale afterwards. The current
   heap stays selected and memLastError is not touched. Returns 0; 0x4601
   when there is no heap; 0x4602 for a heap that is not valid. */
OKR_API ErrCode MemCompact(Heap* heap);

/* ---- Checking and statistics ------------------------------------------- */

/* Walks `heap` (NULL: the current heap) and checks every invariant: the block
   list ascending and gap-free from the pool to `limit`; every owner word
   naming its descriptor (else 0x460D); every descriptor tagged "MSTR" (else
   0x460E); every free block in the free chain exactly once and every chain
   member free; freeBytes equal to the sum of the free blocks; pool blocks
   flagged 0x9000; the spare stack well formed. Returns 0, the first code
   found (0x4602 for a heap that is not valid, 0x4607 for a broken list), or
   0x4601 when there is no heap to check. Reads only inside the heap's
   region and its free-block index, a table outside the region whose address
   the initial pool's descriptor holds: that one word is trusted, and a
   write over it is not survived. */
OKR_API ErrCode MemCheckHeap(Heap* heap);

typedef struct MemHeapInfo {
  uint32_t freeBytes;      /* sum of free block sizes (walked, not the counter) */
  uint32_t largestFree;    /* the largest free block */
  uint32_t blocksInUse;    /* client blocks, pools excluded */
  uint32_t blocksLocked;   /* client blocks with the lock bit */
  uint32_t blocksFree;     /* blocks in the free chain */
  uint32_t descsInUse;     /* descriptors that describe a block */
  uint32_t descsSpare;     /* descriptors on the spare stack */
  uint32_t poolExtensions; /* pool blocks beyond the initial one */
  uint32_t compactions;    /* compactions run so far, in all heaps */
  uint32_t purgeCalls;     /* purge callbacks made so far, in all heaps */
} MemHeapInfo;

/* Fills *out for `heap` (NULL: the current heap). 0; 0x4101 for a NULL
   out; 0x4601 with no heap; 0x4602 for a heap that is not valid. */
OKR_API ErrCode MemGetHeapInfo(Heap* heap, MemHeapInfo* out);

/* A heap's own statistics. The record begins with its size, so that fields
   can be added at its end: set `size` to sizeof(MemHeapStats) before the
   call, which fills the whole fields that fit in both that size and its
   own and sets `size` to the bytes it filled. */
typedef struct MemHeapStats {
  uint32_t size;
  uint32_t compactions;    /* compactions of this heap */
  uint32_t purgeCalls;     /* purge callbacks made for this heap */
  uint32_t scrambleMoves;  /* blocks moved by scramble mode */
  uint32_t bytesInUse;     /* bytes of the blocks in use, pools included */
  uint32_t peakBytesInUse; /* the most bytesInUse has been */
  uint64_t bytesCompacted; /* bytes compaction has moved, owner words included */
} MemHeapStats;

/* Fills *stats for `heap` (NULL: the current heap). 0; 0x4101 for a NULL
   stats; 0x4107 when stats->size is below 4; 0x4601 with no heap; 0x4602
   for a heap that is not valid. */
OKR_API ErrCode MemGetHeapStats(Heap* heap, MemHeapStats* stats);

/* ---- Finding handle bugs ------------------------------------------------

   okr compiled with AddressSanitizer (found out when compiling, nothing to
   switch on) or with the CMake option OKR_VALGRIND (Valgrind's memcheck,
   told through its client requests, which cost next to nothing when the
   program runs without Valgrind) shows the checker which bytes of a heap a
   client may touch: the bytes it asked for in each block in use, the heap
   header and the descriptors' fields above. Every other access is reported
   where it happens: a disposed handle's bytes, a byte past the size asked
   for (even where the block was rounded up), a free block, an owner word, a
   64-bit descriptor's manager words. The sanitizer tracks bytes in 8-byte
   granules that can only be open up to some byte: a 32-bit build's 4-byte
   owner word that shares its granule with the block's first data bytes
   stays open. Valgrind sees every byte.

   Those builds, and builds with the option OKR_HEAP_DEBUG, also fill bytes:
   a new block's requested bytes (and those a resize adds) with memFillNew,
   the bytes after them up to the block's end with memFillGuard, a free
   block's bytes with memFillFree; MemCheckFill finds what was written over
   them. They offer scramble mode (MemSetScramble) too. Other builds, the
   default one and the shipped okr.dll among them, do none of this. */
enum { memFillNew = 0xCD, memFillGuard = 0xFD, memFillFree = 0xDD };

/* Scramble mode for `heap` (NULL: the current heap): on when `on` is not 0.
   While it is on, every call that may move memory (MemNewHandle, MemNewPtr,
   MemNewPtrClear, MemSetHandleSize to a larger block, MemCompact) moves
   every unlocked block of the heap: to a place that no block occupied when
   the call began, where the heap has room; else to any free place that fits
   it; else it stays. A data address kept across the call then points at
   closed bytes, and the checker reports its use at the line that makes it.
   The mode keeps every block's contents, handle, lock and requested size;
   where blocks lie, and with it the free chain's choice, blockSize, results
   that depend on a block's neighbours (growing a locked handle), purge calls
   and the counters, can differ from a run without it.
   Returns 0; 0x4601 with no heap; 0x4602 for a heap that is not valid;
   0x4104 when `on` is not 0 in a build without heap debugging. */
OKR_API ErrCode MemSetScramble(Heap* heap, int on);

/* Where MemCheckFill found a fill byte overwritten. */
typedef struct MemDamage {
  Handle block;     /* the damaged block's descriptor; NULL for none */
  uint32_t offset;  /* of the first damaged byte, from the block's data address */
  uint8_t expected; /* memFillFree (a free block) or memFillGuard (a block in use) */
  uint8_t found;    /* the byte found there */
} MemDamage;

/* Checks `heap` (NULL: the current heap) as MemCheckHeap does, then, in
   builds that fill bytes, the memFillFree bytes of every free block (a
   write after dispose that no checker saw) and the memFillGuard bytes of
   every block in use (a write past the requested size). Sets *out to the
   first damaged block and returns 0x4607 for a free block, 0x460C for a
   block in use; returns MemCheckHeap's code (out->block NULL) when the
   heap's structure is damaged; 0 with *out cleared when nothing is; 0x4101
   for a NULL out. In other builds it checks the structure only. */
OKR_API ErrCode MemCheckFill(Heap* heap, MemDamage* out);

OKR_END_DECLS

#endif
