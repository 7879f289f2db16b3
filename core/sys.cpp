// Start-up and shutdown of the whole library, and the DLL's sample exports.
#include <okr/mem.h>
#include <okr/res.h>
#include <okr/sys.h>

#include <cstdint>
#include <cstdlib>

int32_t sysStarted = 0;
File* sysResFile = nullptr;
uint32_t sysStartParam = 0;
void* sysModuleInstance = nullptr;
int32_t nOKR_dll = 0;

ErrCode SysStart(const char* resFilePath, uint32_t heapSize, uint32_t startParam) {
  sysStartParam = startParam;
  if (ErrCode err = MemStart(heapSize)) return err;
  // Without a path the resource manager is never started.
  ErrCode result = resFilePath != nullptr ? ResStart(resFilePath, &sysResFile) : 0;
  // A file that opened but failed its checks is closed already: forget its
  // stream rather than keep an address that names nothing.
  if (result != 0) sysResFile = nullptr;
  sysStarted = 1;
  std::atexit(SysShutdown);
  return result;
}

// The heap whose region holds `p`, or NULL.
static Heap* HeapHolding(const void* p) {
  auto at = reinterpret_cast<uintptr_t>(p);
  for (Heap* heap = memHeapList; heap != nullptr; heap = heap->nextHeap) {
    if (at >= reinterpret_cast<uintptr_t>(heap->region) &&
        at <= reinterpret_cast<uintptr_t>(heap->limit)) {
      return heap;
    }
  }
  return nullptr;
}

void SysShutdown(void) {
  if (sysStarted == 0) return;
  sysStarted = 0;
  // A handle can only be disposed of while its own heap is current, and the
  // program may have left one of its own heaps selected: select the heap
  // that holds the newest file's directory (all of them, unless files were
  // opened under different heaps) before closing.
  if (Heap* heap = HeapHolding(resCurrentFile)) MemSetHeap(heap);
  // Resource files first: closing may write data and directories back, and
  // the directories live in handles.
  ResCloseAll();
  sysResFile = nullptr;
  MemDisposeAllHeaps();
  ResCloseAuxFiles();
}

int32_t SysIsStarted(void) {
  return sysStarted;
}

int32_t OKR_STDCALL fnOKR_dll(void) {
  return 42;
}
