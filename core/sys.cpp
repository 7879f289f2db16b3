// Start-up and shutdown of the whole library, and the DLL's sample exports.
#include <okr/mem.h>
#include <okr/res.h>
#include <okr/sys.h>

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

void SysShutdown(void) {
  if (sysStarted == 0) return;
  sysStarted = 0;
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
