// MemCheckFill: the heap walker's checks, then the fill bytes of every block
// (debug.h says which bytes hold which pattern).
#include "mem/debug.h"
#include "mem/index.h"

namespace {

#if OKR_MEM_DEBUG
// The first byte from `from` to `to` that is not `byte`, or NULL; that byte
// goes to *other. The bytes are closed to the client.
OKR_UNWATCHED const char* FirstOther(const char* from, const char* to, uint8_t byte,
                                     uint8_t* other) {
  OKR_QUIET_BEGIN;
  const char* found = nullptr;
  for (const char* p = from; p < to; ++p) {
    if (static_cast<uint8_t>(*p) != byte) {
      found = p;
      *other = static_cast<uint8_t>(*p);
      break;
    }
  }
  OKR_QUIET_END;
  return found;
}

// Block `d`'s first damaged fill byte, if any, into *out.
bool FindDamage(BlockDesc* d, MemDamage* out) {
  const char* data = static_cast<const char*>(d->data);
  const char* end = BlockEnd(d);
  const bool free = IsFree(d);
  const uint8_t byte = free ? memFillFree : memFillGuard;
  const char* from = data + (free ? kManagerBytes : d->requestedSize);
  uint8_t other = 0;
  const char* at = FirstOther(std::min(from, end), end, byte, &other);
  if (at == nullptr) return false;
  *out = MemDamage{d, static_cast<uint32_t>(at - data), byte, other};
  return true;
}
#endif

}  // namespace

ErrCode MemCheckFill(Heap* heap, MemDamage* out) {
  if (out == nullptr) return errNilPointer;
  *out = MemDamage{};
  if (ErrCode err = MemCheckHeap(heap)) return err;
#if OKR_MEM_DEBUG
  if (heap == nullptr) heap = memCurrentHeap;
  // The initial pool, right after the header, has no tail.
  for (BlockDesc* d = heap->firstBlock->next; d != nullptr; d = d->next) {
    if (FindDamage(d, out)) return IsFree(d) ? errMemInvalidHandle : errMemBadEpilogTag;
  }
#endif
  return errNone;
}
