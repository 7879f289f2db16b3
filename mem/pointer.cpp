// Pointers: data addresses of locked blocks, traced back to their handles
// through the owner word.
#include "mem/internal.h"

using namespace okr_mem;

void* MemNewPtr(uint32_t size) {
  OKR_FAULT_MEM(nullptr);
  memLastError = errNone;
  Handle h = MemNewHandle(size);
  if (h == nullptr) return nullptr;
  // A purge callback's own failed allocation can leave a code behind a
  // search that then succeeded: the pointer still fails, and its block goes
  // back rather than being lost.
  if (memLastError != errNone) {
    MemDisposeHandle(h);
    return nullptr;
  }
  MemLockHandle(h);
  return h->data;
}

void* MemNewPtrClear(uint32_t size) {
  OKR_FAULT_MEM(nullptr);
  void* p = MemNewPtr(size);
  if (p != nullptr) std::memset(p, 0, size);
  return p;
}

Handle MemPtrToHandle(void* p) {
  return p == nullptr ? nullptr : ReadOwner(p);
}

// True when `p` could be the data address of a block of `heap`: its owner
// word and first byte lie past the initial pool's start, up to `limit`.
static bool InRegion(const Heap* heap, const void* p) {
  auto lo = reinterpret_cast<uintptr_t>(heap + 1);
  auto hi = reinterpret_cast<uintptr_t>(heap->limit);
  auto at = reinterpret_cast<uintptr_t>(p);
  return at >= lo && at - lo >= kOwnerSize && at <= hi;
}

// True when `d` could be a descriptor of the current heap that describes the
// block at `p`: it lies inside the region and names `p` as its data.
static bool OwnsData(const Heap* heap, const BlockDesc* d, const void* p) {
  auto lo = reinterpret_cast<uintptr_t>(heap);
  auto hi = reinterpret_cast<uintptr_t>(heap->limit);
  auto at = reinterpret_cast<uintptr_t>(d);
  if (at < lo || at > hi || hi - at < sizeof(BlockDesc) || at % alignof(BlockDesc) != 0) {
    return false;
  }
  // Read unwatched: `d` may point anywhere in the region, closed bytes too.
  return LoadAddress(&d->data) == p && LoadWord(&d->tag) == kMasterTag;
}

// True when `e`, a readable place in the region, is one of the heap's
// descriptors: one naming a block whose owner word names it, or a spare one
// on the spare stack (the stack is linked both ways).
static bool IsDescriptor(const Heap* heap, const BlockDesc* e) {
  void* data = LoadAddress(&e->data);
  if (data != SpareData()) return InRegion(heap, data) && ReadOwner(data) == e;
  const auto* prev = static_cast<const BlockDesc*>(LoadAddress(&e->prev));
  if (prev == nullptr) return heap->freeMasters == e;
  auto lo = reinterpret_cast<uintptr_t>(heap);
  auto hi = reinterpret_cast<uintptr_t>(heap->limit);
  auto at = reinterpret_cast<uintptr_t>(prev);
  return at >= lo && at <= hi && hi - at >= sizeof(BlockDesc) && at % alignof(BlockDesc) == 0 &&
         LoadAddress(&prev->next) == e;
}

// True when `d` names a master-pointer pool whose first entry is at `p`: a
// handle taken for a pointer. (The first descriptor of a pool extension is
// the first handle handed out after it, and the owner word before it names
// the pool.) A pool is locked and in use like a pointer's block, and may be
// as large: it is told apart by the entry at its start, which is one of the
// heap's descriptors (a client's block can hold bytes that read like one,
// but not be one).
static bool IsPool(const Heap* heap, const BlockDesc* d, const void* p) {
  const auto* first = static_cast<const BlockDesc*>(p);
  return d->flags == memFlagPool &&
         d->requestedSize == MemWord{heap->masterCount} * sizeof(BlockDesc) &&
         LoadWord(&first->tag) == kMasterTag && IsDescriptor(heap, first);
}

ErrCode MemDisposePtr(void* p) {
  if (p == nullptr) return memLastError = errMemNilPointer;
  // Only the current heap's bytes are read: with no heap current (the last
  // one may have been destroyed) or an address outside it, the word before
  // `p` may be released memory or none at all.
  const Heap* heap = memCurrentHeap;
  if (heap == nullptr) return memLastError = errMemNotStarted;
  if (!InRegion(heap, p)) return memLastError = errMemInvalidPointer;
  Handle h = MemPtrToHandle(p);
  if (h == nullptr) return memLastError = errMemInvalidPointer;
  // The owner word is checked before it is trusted, so a stray address
  // cannot make the manager write through garbage.
  if (!OwnsData(heap, h, p) || IsPool(heap, h, p)) return memLastError = errMemInvalidPointer;
  return memLastError = MemDisposeHandle(h);
}
