// Heaps: creating, selecting and destroying them, and the module state that
// names them. A heap is one region from malloc: the header, the initial
// master pool, then blocks up to `limit`.
#include <cstdlib>

#include "mem/counters.h"
#include "mem/debug.h"
#include "mem/index.h"

using namespace okr_mem;

Heap* memCurrentHeap = nullptr;
Heap* memHeapList = nullptr;
uint32_t memNextHeapId = 1;
uint32_t memBlockAlign = 16;
ErrCode memLastError = errMemNotStarted;

static char* AlignUp(char* p, uintptr_t align) {
  uintptr_t a = reinterpret_cast<uintptr_t>(p);
  return p + ((align - a % align) % align);
}

// True when header, pool and the first owner word fit between the header
// and the region's last byte. Computed in 64 bits: a huge masterCount must
// not wrap around.
static bool HeapFits(uint64_t headerOffset, uint32_t regionSize, uint32_t masterCount) {
  uint64_t need = sizeof(Heap) + uint64_t{masterCount} * sizeof(BlockDesc) + kOwnerSize;
  uint64_t lastByte = uint64_t{regionSize} - 1;
  return regionSize > 0 && headerOffset <= lastByte && need <= lastByte - headerOffset;
}

// Lays out the header, the pool block and the one free block. The heap is
// current while this runs.
static void FormatHeap(Heap* heap, void* region, char* limit, uint32_t masterCount, PurgeProc purge,
                       void* indexTable) {
  auto* pool = reinterpret_cast<BlockDesc*>(heap + 1);
  auto poolBytes = static_cast<MemWord>(masterCount) * sizeof(BlockDesc);
  char* poolEnd = reinterpret_cast<char*>(pool) + poolBytes;

  *heap = Heap{};
  heap->magic = kHeapMagic;
  heap->id = memNextHeapId++;
  heap->region = region;
  heap->limit = limit;
  heap->masterCount = masterCount;
  heap->purgeProc = purge;
  MemFormatMasters(pool, masterCount, nullptr);
  heap->freeMasters = pool;

  BlockDesc* poolDesc = MemTakeDesc();
  BlockDesc* freeDesc = MemTakeDesc();
  poolDesc->data = pool;  // no owner word: the header's last field stands there
  poolDesc->blockSize = poolBytes;
  poolDesc->requestedSize = poolBytes;
  poolDesc->flags = memFlagPool;
  poolDesc->prev = nullptr;
  poolDesc->next = freeDesc;
  heap->firstBlock = poolDesc;
  MemIndexInit(heap, indexTable);

  freeDesc->data = poolEnd + kOwnerSize;
  freeDesc->blockSize = static_cast<uint32_t>(limit - poolEnd);
  freeDesc->flags = memFlagFree;
  freeDesc->next = nullptr;
  freeDesc->prev = poolDesc;
  MemPlaceBlock(freeDesc);
  heap->freeBytes = freeDesc->blockSize;
}

ErrCode MemNewHeap(PurgeProc purge, uint32_t masterCount, void* region, uint32_t regionSize,
                   Heap** outHeap) {
  // A missing out reference is refused before the region is taken over.
  if (outHeap == nullptr) return errNilPointer;
  memLastError = errNone;
  *outHeap = nullptr;
  Heap* selected = memCurrentHeap;

  if (regionSize == 0) regionSize = kDefaultRegionSize;
  if (region == nullptr) {
    region = OKR_FAULT(faultMalloc) ? nullptr : std::malloc(regionSize);
    if (region == nullptr) return errNoSystemMemory;
  }
  char* header = AlignUp(static_cast<char*>(region), memBlockAlign);
  if (masterCount < kMinMasterCount) masterCount = kMinMasterCount;
  if (!HeapFits(static_cast<uint64_t>(header - static_cast<char*>(region)), regionSize,
                masterCount)) {
    std::free(region);
    memLastError = errMemBadHeap;
    return errMemBadHeap;
  }

  // The free-block index's table and the heap's counters: the one other
  // allocation a heap makes.
  auto* side =
      OKR_FAULT(faultMalloc) ? nullptr : static_cast<MemSide*>(std::malloc(sizeof(MemSide)));
  if (side == nullptr) {
    std::free(region);
    return errNoSystemMemory;
  }

  auto* heap = reinterpret_cast<Heap*>(header);
  memCurrentHeap = heap;
  FormatHeap(heap, region, static_cast<char*>(region) + regionSize - 1, masterCount, purge,
             &side->index);
  side->counters = HeapCounters{};
  side->counters.leastFree = heap->freeBytes;
  MemDebugNewHeap(heap);

  heap->prevHeap = nullptr;
  heap->nextHeap = memHeapList;
  if (memHeapList != nullptr) memHeapList->prevHeap = heap;
  memHeapList = heap;

  *outHeap = heap;
  memCurrentHeap = selected;
  return errNone;
}

bool okr_mem::MemIsValidHeap(const Heap* heap) {
  for (const Heap* h = memHeapList; h != nullptr && h->magic == kHeapMagic; h = h->nextHeap) {
    if (h == heap) return true;
  }
  return false;
}

ErrCode MemSetHeap(Heap* heap) {
  if (!MemIsValidHeap(heap)) return errMemBadHeap;
  memCurrentHeap = heap;
  return errNone;
}

ErrCode MemDisposeHeap(Heap** heapRef) {
  if (heapRef == nullptr || !MemIsValidHeap(*heapRef)) return errMemBadHeap;
  Heap* heap = *heapRef;
  if (heap->nextHeap != nullptr) heap->nextHeap->prevHeap = heap->prevHeap;
  if (heap->prevHeap != nullptr) heap->prevHeap->nextHeap = heap->nextHeap;
  if (memHeapList == heap) memHeapList = heap->nextHeap;
  // Destroying the current heap leaves no heap current: block operations then
  // answer 0x4601 instead of touching released memory.
  if (memCurrentHeap == heap) memCurrentHeap = nullptr;
  MemDebugDisposeHeap(heap);
  heap->magic = 0;
  std::free(IndexOf(heap));
  std::free(heap->region);
  *heapRef = nullptr;
  return errNone;
}

void MemDisposeAllHeaps(void) {
  while (memHeapList != nullptr) {
    Heap* next = memHeapList->nextHeap;
    MemDisposeHeap(&memHeapList);
    memHeapList = next;
  }
}

uint32_t MemDefaultHeapSize(void) {
  return kDefaultHeapSize;
}

ErrCode MemStart(uint32_t heapSize) {
  Heap* heap = nullptr;
  ErrCode err = MemNewHeap(nullptr, 0, nullptr, heapSize, &heap);
  if (err != errNone) return err;
  return MemSetHeap(heap);
}
