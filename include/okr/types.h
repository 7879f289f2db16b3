/* okr: shared types and the C linkage frame of every public header. */
#ifndef OKR_TYPES_H
#define OKR_TYPES_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define OKR_BEGIN_DECLS extern "C" {
#define OKR_END_DECLS }
#else
#define OKR_BEGIN_DECLS
#define OKR_END_DECLS
#endif

/* OKR_API starts every public declaration: the library's functions and
   variables and nothing else.
   - ELF (libokr.so): the library is compiled with hidden visibility, so the
     shared object exports exactly the names marked here.
   - Windows: okr.dll built with OKR_DLL_API exports the names marked here
     (the library's sources are compiled with OKR_BUILD_DLL) and programs
     that link its import library define OKR_USE_DLL. Everywhere else the
     mark is empty: the static library, and the default okr.dll, whose only
     exports are its two samples. */
#if defined(_WIN32) || defined(__CYGWIN__)
#if defined(OKR_BUILD_DLL)
#define OKR_API __declspec(dllexport)
#elif defined(OKR_USE_DLL)
#define OKR_API __declspec(dllimport)
#else
#define OKR_API
#endif
#elif defined(__GNUC__)
#define OKR_API __attribute__((visibility("default")))
#else
#define OKR_API
#endif

/* 0 success, 1 "End Of Line" and 2 "End of File" are statuses, failures are
   0x4000 and above. */
typedef uint32_t ErrCode;

#endif
