#include "platform/fault.h"

#include <atomic>
#include <cerrno>

namespace platform {

namespace {
int gMask = 0;
long gNth = 0;
bool gSticky = false;
int gErr = 0;
std::atomic<long> gCounted{0};  // counted from the writing thread too
void (*gStepHook)(const char*) = nullptr;
}  // namespace

void SetStepHook(void (*hook)(const char* step)) { gStepHook = hook; }

void AtStep(const char* step) {
  if (gStepHook != nullptr) gStepHook(step);
}

void SetFault(int mask, long nth, bool sticky, int err) {
  gMask = mask;
  gNth = nth;
  gSticky = sticky;
  gErr = err;
  gCounted = 0;
}

void ClearFault() { SetFault(0, 0, false, 0); }

long FaultOpsCounted() { return gCounted; }

bool FaultHit(FaultOp op) {
  if ((gMask & op) == 0) return false;
  long counted = ++gCounted;
  if (counted == gNth || (gSticky && counted > gNth)) {
    errno = gErr;
    return true;
  }
  return false;
}

}  // namespace platform
