// The controller behind the library's fault hooks (linked only into the
// fault injection build).
#include "fault_control.h"

namespace {

bool faultArmed = false;
FaultPlan faultPlan{};
uint32_t faultCalls = 0;
bool faultFired = false;
FaultSite faultFiredSite = faultSiteCount;

bool IsTransfer(FaultSite site) {
  return site == faultRead || site == faultWrite;
}

}  // namespace

size_t FaultAllow(FaultSite site, size_t count) {
  if (!faultArmed || !(faultPlan.sites & FaultBit(site))) return count;
  ++faultCalls;
  bool fails = faultCalls == faultPlan.failAt ||
               (faultPlan.mode == faultFromThenOn && faultCalls > faultPlan.failAt);
  if (!fails) return count;
  if (!faultFired) faultFiredSite = site;
  faultFired = true;
  return faultPlan.mode == faultShort && IsTransfer(site) ? count / 2 : 0;
}

void FaultArm(const FaultPlan& plan) {
  faultPlan = plan;
  faultCalls = 0;
  faultFired = false;
  faultArmed = true;
}

void FaultDisarm() {
  faultArmed = false;
}

FaultSite FaultFirstSite() {
  return faultFiredSite;
}

bool FaultFired() {
  return faultFired;
}

bool FaultOver() {
  return faultFired && faultPlan.mode != faultFromThenOn;
}

uint32_t FaultCalls() {
  return faultCalls;
}
