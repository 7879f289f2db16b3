// The DLL's entry routine: records the module's instance handle at process
// attach. Start-up itself is SysStart's, shutdown runs through atexit.
#include <okr/sys.h>
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) sysModuleInstance = instance;
  return TRUE;
}
