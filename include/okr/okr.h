/* okr: the whole library in one include. */
#ifndef OKR_OKR_H
#define OKR_OKR_H

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
