/* okr: the whole library in one include. */
#ifndef OKR_OKR_H
#define OKR_OKR_H

#include <okr/err.h>
#include <okr/mem.h>
#include <okr/types.h>

#endif
