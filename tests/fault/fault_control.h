// The test suite's side of the fault injection seam: which calls fail, and
// what reached the files. A plan names the sites it watches and the call
// (counted from 1 over those sites) that fails; that call alone, or every
// call from it on, the way a stopped process or a dead disk would look to
// the library. A recording keeps every write, sync and cut in order.
#ifndef OKR_TESTS_FAULT_CONTROL_H
#define OKR_TESTS_FAULT_CONTROL_H

#include <stdint.h>

#include <string>
#include <vector>

#include "core/fault.h"

enum FaultMode {
  faultOnce,        // the call fails (a transfer moves nothing)
  faultShort,       // the call fails; a transfer moves half its bytes first
  faultFromThenOn,  // the call and every later one of the sites fail
  faultShortThenOn  // the call moves half its bytes; every later one fails
};

constexpr uint32_t FaultBit(FaultSite site) {
  return 1u << site;
}
constexpr uint32_t kFaultStdio = FaultBit(faultOpen) | FaultBit(faultRead) | FaultBit(faultWrite) |
                                 FaultBit(faultSeek) | FaultBit(faultFlush) | FaultBit(faultSync);
constexpr uint32_t kFaultMemory = FaultBit(faultMalloc) | FaultBit(faultMem);

struct FaultPlan {
  uint32_t sites;   // FaultBit of each site watched
  uint32_t failAt;  // the watched call that fails, from 1
  FaultMode mode;
};

// Arms `plan`: from now on the watched calls are counted.
void FaultArm(const FaultPlan& plan);
// Lets every call through again.
void FaultDisarm();
// True once the armed plan made a call fail.
bool FaultFired();
// True once the armed plan's failure is over: a call failed, and the calls
// after it go through (every mode but faultFromThenOn).
bool FaultOver();
// The site of the first call that failed.
FaultSite FaultFirstSite();
// Watched calls seen since the plan was armed.
uint32_t FaultCalls();

// One thing that reached a file: bytes written at an offset, a sync of its
// stream, or a cut to a length.
struct FaultEvent {
  enum Kind { kWrite, kSync, kCut } kind;
  long at;  // the offset written at, or the length cut to
  std::string bytes;
};
// Starts recording what reaches any file, forgetting an earlier recording.
void FaultRecord();
// Stops recording and hands the events over, in order.
std::vector<FaultEvent> FaultRecorded();
// Events recorded so far.
uint32_t FaultEvents();

#endif
