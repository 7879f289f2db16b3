// Walking a scenario over its injection points: the scenario runs once per
// watched call, that call failing, until a run makes fewer calls. Each step
// of a run is checked as it answers; the run's end is checked by the
// scenario itself (files, handles, streams, the heap).
#ifndef OKR_TESTS_FAULT_WALK_H
#define OKR_TESTS_FAULT_WALK_H

#include <dirent.h>
#include <gtest/gtest.h>
#ifdef _WIN32
#include <io.h>
#endif
#include <okr/err.h>

#include <algorithm>
#include <initializer_list>
#include <string>

#include "fault/fault_control.h"

#ifdef _WIN32
// Open descriptors of the C library: a stream the library leaks shows here.
// (The process's own handles also count wine's traffic with its server.)
inline int OpenDescriptors() {
  int count = 0;
  for (int fd = 0; fd < 2048; ++fd)  // msvcrt's most
    count += _get_osfhandle(fd) != -1;
  return count;
}
#else
// Open descriptors of the process: a stream the library leaks shows here.
inline int OpenDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (readdir(dir) != nullptr)
    ++count;
  closedir(dir);
  return count;
}
#endif

// A file for a scenario: in memory-backed /dev/shm where there is one, since
// a walk syncs its files hundreds of times and only the order of the writes
// matters to it, not the disk.
// The build tree's tag keeps it apart from other trees' test runs.
inline std::string FaultTempPath(const std::string& name) {
  std::string file = "okr_fault_" OKR_TEST_TREE_TAG "_" + name;
  DIR* shm = opendir("/dev/shm");
  if (shm == nullptr) return testing::TempDir() + file;
  closedir(shm);
  return "/dev/shm/" + file;
}

// What one run's steps answered.
class FaultRun {
 public:
  // Checks a step that reports its failures: success while no call has
  // failed; a step during which the failing call came answers with one of
  // the codes documented for it (later steps may also succeed).
  ErrCode Step(ErrCode code, std::initializer_list<ErrCode> documented, const char* what) {
    bool firedDuring = FaultFired() && !firedBefore_;
    firedBefore_ = FaultFired();
    if (!FaultFired()) {
      EXPECT_EQ(code, 0u) << what;
    }
    if (firedDuring) {
      EXPECT_NE(code, 0u) << what << " hid a failure at site " << FaultFirstSite();
    }
    if (code != 0) {
      EXPECT_NE(std::find(documented.begin(), documented.end(), code), documented.end())
          << what << " answered 0x" << std::hex << code;
      reported_ = true;
    }
    return code;
  }
  // A step that does not report failures: the test's own allocations (a
  // failure leaves their part out) and closes.
  void Unreported() { firedBefore_ = FaultFired(); }
  bool Reported() const { return reported_; }

 private:
  bool firedBefore_ = false;
  bool reported_ = false;
};

// Runs `run` for every injection point of `sites` in `mode`; returns the
// number of points tried. Stops at the first point that fails a check.
template <class Run>
uint32_t WalkFaults(uint32_t sites, FaultMode mode, Run run) {
  for (uint32_t point = 1;; ++point) {
    SCOPED_TRACE(testing::Message() << "failing call " << point << ", mode " << mode);
    FaultArm(FaultPlan{sites, point, mode});
    run();
    FaultDisarm();
    if (!FaultFired()) return point - 1;
    if (testing::Test::HasFailure()) return point;
  }
}

// The modes and site sets every scenario is walked with.
struct FaultWalk {
  const char* name;
  uint32_t sites;
  FaultMode mode;
};
inline constexpr FaultWalk kFaultWalks[] = {
    {"stdio, one call fails", kFaultStdio, faultOnce},
    {"stdio, one transfer falls short", kFaultStdio, faultShort},
    {"stdio, every call from one on fails", kFaultStdio, faultFromThenOn},
    {"memory, one allocation fails", kFaultMemory, faultOnce},
    {"memory, every allocation from one on fails", kFaultMemory, faultFromThenOn},
};

// Walks `run` in every mode and prints how many points each tried.
template <class Run>
void WalkAll(const char* scenario, Run run) {
  for (const FaultWalk& walk : kFaultWalks) {
    uint32_t points = WalkFaults(walk.sites, walk.mode, run);
    printf("[ points   ] %s, %s: %u\n", scenario, walk.name, points);
    testing::Test::RecordProperty(std::string(scenario) + ", " + walk.name, int(points));
    if (testing::Test::HasFailure()) return;
  }
}

#endif
