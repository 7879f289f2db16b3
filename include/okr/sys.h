/* okr start-up and shutdown: the default heap, the optional resource file,
   and the shutdown that runs at process exit. */
#ifndef OKR_SYS_H
#define OKR_SYS_H

#include <okr/file.h>
#include <okr/types.h>

OKR_BEGIN_DECLS

OKR_API extern int32_t sysStarted;      /* 1 while the library is started */
OKR_API extern File* sysResFile;        /* the resource file opened at start-up; NULL when
                                           none was, and after shutdown */
OKR_API extern uint32_t sysStartParam;  /* the third start-up argument, kept unchanged */
OKR_API extern void* sysModuleInstance; /* the DLL's instance handle (Windows), else NULL */

/* Starts the library: creates and selects the default heap of `heapSize`
   bytes (0 means 0xE00000) and, when `resFilePath` is not NULL, starts the
   resource manager and opens that file read-only. Registers SysShutdown with
   atexit. Does not look at sysStarted: ask SysIsStarted first.
   Returns 0; 0x4102 or 0x4602 when the heap cannot be created (the library
   is then not started); or the resource manager's code when the file cannot
   be opened (the library counts as started all the same, and sysResFile is
   NULL). */
OKR_API ErrCode SysStart(const char* resFilePath, uint32_t heapSize, uint32_t startParam);

/* Shuts the library down once: closes every resource file while the heaps
   still exist, destroys every heap (newest first), then closes the resource
   manager's auxiliary streams. Does nothing when not started. Whatever heap
   the program selected, the files are closed with the heap that holds the
   newest file's directory selected; files whose directories lie in other
   heaps must be closed by the program before. */
OKR_API void SysShutdown(void);

/* 1 while started, else 0. */
OKR_API int32_t SysIsStarted(void);

/* The sample exports of the DLL: a function that returns 42 (exported as
   "_fnOKR_dll@0") and an integer that reads 0 ("nOKR_dll"). */
#if defined(_WIN32) && !defined(_WIN64)
#define OKR_STDCALL __stdcall
#else
#define OKR_STDCALL
#endif
OKR_API int32_t OKR_STDCALL fnOKR_dll(void);
OKR_API extern int32_t nOKR_dll;

OKR_END_DECLS

#endif
