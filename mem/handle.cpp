// Handle accessors: the last error, locking, sizes and flags. Each touches
// only the descriptor, so they work whatever heap is current. A NULL handle
// is answered without being dereferenced.
#include "mem/internal.h"

using namespace okr_mem;

ErrCode MemGetError(void) {
  return memLastError;
}

ErrCode MemLockHandle(Handle h) {
  if (h == nullptr) return errMemNilHandle;
  h->flags |= memFlagLocked;
  return errNone;
}

ErrCode MemUnlockHandle(Handle h) {
  if (h == nullptr) return errMemNilHandle;
  h->flags &= ~uint32_t{memFlagLocked};
  return errNone;
}

uint32_t MemGetHandleSize(Handle h) {
  return h == nullptr ? 0 : static_cast<uint32_t>(h->requestedSize);
}

uint32_t MemGetFlags(Handle h) {
  return h == nullptr ? 0 : static_cast<uint32_t>(h->flags);
}

ErrCode MemSetFlags(Handle h, uint32_t flags) {
  if (h == nullptr) return errMemNilHandle;
  h->flags = flags;
  return errNone;
}
