#include "platform/fault.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>

namespace platform {

namespace {
void (*gStepHook)(const char*) = nullptr;
int64_t gClock = 0;

// Set by a test while no writing thread runs (the thread's start and end
// order these plain fields); only the counts change while one does.
struct cFault {
  int mask = 0;
  long nth = 0;
  bool sticky = false;
  int err = 0;
  std::atomic<long> counted{0};  // counted from the writing thread too
};

cFault gFaults[2];
std::atomic<int> gArmed{0};  // the kinds any fault or the record watches
int gRecordMask = 0;
std::string gRecord;
std::atomic_flag gRecordLock = ATOMIC_FLAG_INIT;  // no std::mutex in every Windows runtime

void Arm(cFault& fault, int mask, long nth, bool sticky, int err) {
  fault.mask = mask;
  fault.nth = nth;
  fault.sticky = sticky;
  fault.err = err;
  fault.counted = 0;
  gArmed = gFaults[0].mask | gFaults[1].mask | gRecordMask;
}

char Letter(FaultOp op) {
  switch (op) {
    case kFaultWrite: return 'W';
    case kFaultFlush: return 'F';
    case kFaultClose: return 'C';
    case kFaultSync: return 'S';
    case kFaultResize: return 'R';
    case kFaultOpen: return 'O';
    case kFaultDirSync: return 'D';
    case kFaultProbe: return 'P';
    default: return 'A';
  }
}

}  // namespace

void SetStepHook(void (*hook)(const char* step)) { gStepHook = hook; }

void AtStep(const char* step) {
  if (gStepHook != nullptr) gStepHook(step);
}

void SetFault(int mask, long nth, bool sticky, int err) {
  Arm(gFaults[1], 0, 0, false, 0);
  Arm(gFaults[0], mask, nth, sticky, err);
}

void AddFault(int mask, long nth, bool sticky, int err) { Arm(gFaults[1], mask, nth, sticky, err); }

void ClearFault() { SetFault(0, 0, false, 0); }

long FaultOpsCounted() { return gFaults[0].counted; }

void RecordOps(int mask) {
  while (gRecordLock.test_and_set()) {
  }
  gRecordMask = mask;
  gRecord.clear();
  gRecordLock.clear();
  gArmed = gFaults[0].mask | gFaults[1].mask | gRecordMask;
}

std::string RecordedOps() {
  while (gRecordLock.test_and_set()) {
  }
  std::string record = gRecord;
  gRecordLock.clear();
  return record;
}

bool FaultHit(FaultOp op) {
  if ((gArmed & op) == 0) return false;
  bool hit = false;
  for (cFault& fault : gFaults) {
    if ((fault.mask & op) == 0) continue;
    long counted = ++fault.counted;
    if (!hit && (counted == fault.nth || (fault.sticky && counted > fault.nth))) {
      errno = fault.err;
      hit = true;
    }
  }
  if ((gRecordMask & op) != 0) {
    while (gRecordLock.test_and_set()) {
    }
    char letter = Letter(op);
    gRecord += hit ? static_cast<char>(letter - 'A' + 'a') : letter;
    gRecordLock.clear();
  }
  return hit;
}

void SetClock(int64_t seconds) { gClock = seconds; }

bool ClockSet(int64_t* seconds) {
  *seconds = gClock;
  return gClock != 0;
}

}  // namespace platform
