// The test suite's side of the step counting seam: how many steps of each
// kind the library took since the counts were last cleared.
#ifndef OKR_TESTS_STEP_COUNT_H
#define OKR_TESTS_STEP_COUNT_H

#include <stdint.h>

#include "core/steps.h"

// Sets every count to 0.
void StepsClear();
// Steps of `kind` taken since StepsClear.
uint64_t StepsTaken(StepKind kind);

#endif
