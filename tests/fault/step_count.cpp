// The controller behind the library's step hooks (linked only into the fault
// injection build).
#include "step_count.h"

namespace {

uint64_t stepCounts[stepKindCount] = {};

}  // namespace

void StepTaken(StepKind kind, size_t count) {
  stepCounts[kind] += count;
}

void StepsClear() {
  for (uint64_t& count : stepCounts)
    count = 0;
}

uint64_t StepsTaken(StepKind kind) {
  return stepCounts[kind];
}
