// Fault injection seam. The test suite builds the library a second time with
// OKR_FAULT_INJECTION defined and links a controller that answers
// FaultAllow; there, each hook below can make one call of the platform or of
// the memory manager fail (or transfer fewer bytes), and the controller is
// told of every byte that reached a file and every sync and cut, so that a
// test can rebuild a file as a crash or a power loss would leave it. In
// every other build the hooks are empty and the calls go straight through.
#ifndef OKR_CORE_FAULT_H
#define OKR_CORE_FAULT_H

#include <stddef.h>

// The calls a test can make fail.
enum FaultSite {
  faultMalloc,  // the standard allocator, for heap regions
  faultMem,     // the memory manager's allocations, as other modules see them
  faultOpen,    // fopen
  faultRead,    // fread (may also come back short)
  faultWrite,   // fwrite (may also come back short)
  faultSeek,    // fseek
  faultFlush,   // fflush
  faultSync,    // fsync / _commit
  faultSiteCount
};

#ifdef OKR_FAULT_INJECTION
// Answered by the test suite's controller: how many of `count` units this
// call of `site` may go through; `count` when it is not to fail.
size_t FaultAllow(FaultSite site, size_t count);
#define OKR_FAULT(site) (FaultAllow(site, 1) == 0)
#define OKR_FAULT_SHORT(site, count) FaultAllow(site, count)
// `count` bytes from `data` reached the stream `file` at offset `at`; the
// stream's bytes were made durable; its file was cut to `size` bytes.
void FaultWrote(const void* file, long at, const void* data, size_t count);
void FaultSynced(const void* file);
void FaultCut(const void* file, long size);
#define OKR_FAULT_WROTE(file, at, data, count) FaultWrote(file, at, data, count)
#define OKR_FAULT_SYNCED(file) FaultSynced(file)
#define OKR_FAULT_CUT(file, size) FaultCut(file, size)
// An allocation of the memory manager that fails as one out of memory. A real
// one compacts the heap before it gives up, so the injected one moves the
// current heap's unlocked blocks first (MemFaultMoves, mem/): a caller that
// keeps a data address across a failed call then meets the move, as it would
// when memory runs out.
void MemFaultMoves();
#define OKR_FAULT_MEM(result) \
  if (OKR_FAULT(faultMem)) return (MemFaultMoves(), memLastError = errMemOutOfMemory, result)
#else
#define OKR_FAULT(site) false
#define OKR_FAULT_SHORT(site, count) (count)
#define OKR_FAULT_WROTE(file, at, data, count) static_cast<void>(at)
#define OKR_FAULT_SYNCED(file) static_cast<void>(0)
#define OKR_FAULT_CUT(file, size) static_cast<void>(0)
#define OKR_FAULT_MEM(result) static_cast<void>(0)
#endif

#endif
