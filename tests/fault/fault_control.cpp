// The controller behind the library's fault hooks (linked only into the
// fault injection build).
#include "fault_control.h"

#include <utility>

namespace {

bool faultArmed = false;
FaultPlan faultPlan{};
uint32_t faultCalls = 0;
bool faultFired = false;
FaultSite faultFiredSite = faultSiteCount;

bool faultRecording = false;
std::vector<FaultEvent> faultEvents;

bool IsTransfer(FaultSite site) {
  return site == faultRead || site == faultWrite;
}

bool FailsOnAfter(FaultMode mode) {
  return mode == faultFromThenOn || mode == faultShortThenOn;
}

void Record(FaultEvent::Kind kind, long at, const void* data, size_t count) {
  if (!faultRecording) return;
  std::string bytes =
      count == 0 ? std::string() : std::string(static_cast<const char*>(data), count);
  faultEvents.push_back(FaultEvent{kind, at, std::move(bytes)});
}

}  // namespace

size_t FaultAllow(FaultSite site, size_t count) {
  if (!faultArmed || !(faultPlan.sites & FaultBit(site))) return count;
  ++faultCalls;
  bool fails = faultCalls == faultPlan.failAt ||
               (FailsOnAfter(faultPlan.mode) && faultCalls > faultPlan.failAt);
  if (!fails) return count;
  if (!faultFired) faultFiredSite = site;
  faultFired = true;
  bool half = faultPlan.mode == faultShort ||
              (faultPlan.mode == faultShortThenOn && faultCalls == faultPlan.failAt);
  return half && IsTransfer(site) ? count / 2 : 0;
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
  return faultFired && !FailsOnAfter(faultPlan.mode);
}

uint32_t FaultCalls() {
  return faultCalls;
}

void FaultWrote(const void*, long at, const void* data, size_t count) {
  Record(FaultEvent::kWrite, at, data, count);
}

void FaultSynced(const void*) {
  Record(FaultEvent::kSync, 0, nullptr, 0);
}

void FaultCut(const void*, long size) {
  Record(FaultEvent::kCut, size, nullptr, 0);
}

void FaultRecord() {
  faultEvents.clear();
  faultRecording = true;
}

std::vector<FaultEvent> FaultRecorded() {
  faultRecording = false;
  return std::move(faultEvents);
}

uint32_t FaultEvents() {
  return uint32_t(faultEvents.size());
}
