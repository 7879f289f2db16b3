// Fuzz target: every input byte pair is one memory-manager operation on a
// small heap (allocate, dispose, lock, resize, pointers, compaction); after
// each one the heap walker must find nothing, the free-block index must
// choose the block a walk of the chain chooses, and every live block must
// hold the bytes written into it.
#include <okr/okr.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "mem/internal.h"

namespace {

struct Live {
  Handle h;
  uint32_t size;
  uint8_t fill;
};

std::vector<Live> live;
Handle resizing = nullptr;  // the purge callback leaves this one alone

bool Holds(const Live& b) {
  const auto* p = static_cast<const uint8_t*>(b.h->data);
  for (uint32_t i = 0; i < b.size; ++i) {
    if (p[i] != b.fill) return false;
  }
  return true;
}

void Purge(uint32_t) {
  for (size_t i = 0; i < live.size(); ++i) {
    if (live[i].h == resizing || MemDisposeHandle(live[i].h) != 0) continue;
    live[i] = live.back();
    live.pop_back();
    return;
  }
}

// The purge callback may have reordered `live`: find the block again.
void Resized(uint32_t size) {
  for (Live& b : live) {
    if (b.h != resizing) continue;
    if (size > b.size) std::memset(static_cast<char*>(b.h->data) + b.size, b.fill, size - b.size);
    b.size = size;
  }
}

// The index's choice for a few sizes against a walk of the chain.
bool ChoosesAsTheChain(const Heap* heap, uint8_t salt) {
  for (uint32_t size : {16u, 48u, 16u * (1u + salt), 1040u + salt, 4104u}) {
    const BlockDesc* walked = heap->freeBlocks;
    while (walked != nullptr && walked->blockSize < size)
      walked = walked->nextFree;
    if (okr_mem::MemChainFindFit(heap, size) != walked) return false;
  }
  return true;
}

void Step(uint8_t op, uint8_t arg) {
  Live* b = live.empty() ? nullptr : &live[arg % live.size()];
  uint32_t size = (op & 0x80) ? arg * 37u : arg / 4u;  // mostly small, sometimes large
  switch (op % 6) {
    case 0:
    case 1: {
      Live n{MemNewHandle(size), size, arg};
      if (n.h == nullptr) return;
      std::memset(n.h->data, n.fill, size);
      live.push_back(n);
      return;
    }
    case 2:
      if (b == nullptr || MemDisposeHandle(b->h) != 0) return;
      *b = live.back();
      live.pop_back();
      return;
    case 3:
      if (b != nullptr) (MemGetFlags(b->h) & memFlagLocked ? MemUnlockHandle : MemLockHandle)(b->h);
      return;
    case 4:
      if (b == nullptr) return;
      resizing = b->h;
      if (MemSetHandleSize(resizing, size) == 0) Resized(size);
      resizing = nullptr;
      return;
    default:
      if (void* p = MemNewPtrClear(size)) MemDisposePtr(p);
      if (arg == 0) okr_mem::MemCompactHeap();
      return;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Heap* heap = nullptr;
  if (MemNewHeap(size % 2 ? Purge : nullptr, 0, nullptr, 32 * 1024, &heap) != 0) return 0;
  MemSetHeap(heap);
  for (size_t i = 0; i + 1 < size; i += 2) {
    Step(data[i], data[i + 1]);
    if (MemCheckHeap(heap) != 0 || !ChoosesAsTheChain(heap, data[i + 1])) std::abort();
    for (const Live& b : live) {
      if (!Holds(b)) std::abort();
    }
  }
  live.clear();
  MemDisposeHeap(&heap);
  return 0;
}
