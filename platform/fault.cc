#include "platform/fault.h"

#include <cerrno>

namespace platform {

namespace {
int gMask = 0;
long gNth = 0;
bool gSticky = false;
int gErr = 0;
long gCounted = 0;
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
  ++gCounted;
  if (gCounted == gNth || (gSticky && gCounted > gNth)) {
    errno = gErr;
    return true;
  }
  return false;
}

}  // namespace platform
