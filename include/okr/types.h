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

/* 0 success, 1 "End Of Line" and 2 "End of File" are statuses, failures are
   0x4000 and above. */
typedef uint32_t ErrCode;

#endif
