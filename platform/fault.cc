#include "platform/fault.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>

namespace platform {

namespace {
int gMask = 0;
long gNth = 0;
bool gSticky = false;
int gErr = 0;
std::atomic<long> gCounted{0};  // counted from the writing thread too
int64_t gClock = 0;
}  // namespace

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

void SetClock(int64_t seconds) { gClock = seconds; }

bool ClockSet(int64_t* seconds) {
  *seconds = gClock;
  return gClock != 0;
}

bool HalfReplaceHit(const char* to) {
  if (!FaultHit(kFaultHalfReplace)) return false;
  int err = errno;
  rename(to, (std::string(to) + ".alt").c_str());
  errno = err;
  return true;
}

}  // namespace platform
