// Step counting seam. In the fault injection build (OKR_FAULT_INJECTION) the
// hooks below tell the test suite's controller how many steps of each kind
// an operation took, so that a test can tell a constant cost from a walk
// without timing anything. In every other build they are empty.
#ifndef OKR_CORE_STEPS_H
#define OKR_CORE_STEPS_H

#include <stddef.h>

// The steps a test can count.
enum StepKind {
  stepTypeLookup,  // a type record read, or a slot of a type index looked at
  stepCellMove,    // an entry's cell moved within its directory
  stepSlotLook,    // a data slot looked at in a search for a loaded handle
  stepTokenByte,   // a byte of text passed while the end of a token is sought
  stepKindCount
};

#ifdef OKR_FAULT_INJECTION
// Answered by the test suite's controller: `count` more steps of `kind`.
void StepTaken(StepKind kind, size_t count);
#define OKR_STEP(kind, count) StepTaken(kind, count)
#else
#define OKR_STEP(kind, count) static_cast<void>(0)
#endif

#endif
