/* okr: the whole library in one include.

   The headers need C11 or C++11: the block descriptor's anonymous union and
   the layout checks (_Static_assert) are C11. */
#ifndef OKR_OKR_H
#define OKR_OKR_H

/* The library's version, which is also the CMake project's, the package's
   and the shared library's. OKR_VERSION compares as a number:
   major * 10000 + minor * 100 + patch. */
#define OKR_VERSION_MAJOR 0
#define OKR_VERSION_MINOR 1
#define OKR_VERSION_PATCH 0
#define OKR_VERSION_STRING "0.1.0"
#define OKR_VERSION (OKR_VERSION_MAJOR * 10000 + OKR_VERSION_MINOR * 100 + OKR_VERSION_PATCH)

#include <okr/err.h>
#include <okr/expr.h>
#include <okr/file.h>
#include <okr/mem.h>
#include <okr/res.h>
#include <okr/sym.h>
#include <okr/sys.h>
#include <okr/txt.h>
#include <okr/types.h>

#endif
