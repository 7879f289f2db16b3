// The resource file's model runs (res_model.h) with one of the memory
// manager's allocations failing in every library call that may allocate,
// at a random one of its first few: a call that fails must change nothing.
#include "fault/fault_control.h"
#include "res_model.h"

namespace {

class ResModelFault : public ResModel {
 protected:
  ResModelFault() { path_ = TempPath("model_fault.res"); }
  void Arm() override { FaultArm(FaultPlan{kFaultMemory, 1 + uint32_t(rng_() % 4), faultOnce}); }
  bool Disarm() override {
    bool fired = FaultFired();
    FaultDisarm();
    return fired;
  }
};

TEST_F(ResModelFault, FailedAllocationsChangeNothing) {
  for (const ModelRun& run : ModelRuns({{11, 2, false, 2000},
                                        {12, 20, false, 2000},
                                        {13, 5, true, 2000},
                                        {14, 300, false, 2000}})) {
    Run(run);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
