// Fault injection for the I/O paths, in the manner of SQLite's I/O-error
// tests: a test names the kinds of operation to fail and the number of the
// first one that fails. Off unless a test turns it on.
#ifndef KIVEX_PLATFORM_FAULT_H_
#define KIVEX_PLATFORM_FAULT_H_

#include <cstdint>

namespace platform {

enum FaultOp {
  kFaultWrite = 1,
  kFaultFlush = 2,
  kFaultClose = 4,
  kFaultSync = 8,
  kFaultRename = 16,
  kFaultOpen = 32,
  kFaultAll = 63,  // the kinds above
  kFaultAccess = 64,  // a step of CopyAccess
  // A replacement that fails half-done, as Windows' ReplaceFileA can: the
  // old file has left its name (for that name plus ".alt"), the new one has
  // not taken it. Never part of a loop that wants the input whole.
  kFaultHalfReplace = 128,
};

// From now on, the `nth` operation (counting from 1) of the kinds in `mask`
// fails with `err`; with `sticky`, every later one of those kinds fails too.
void SetFault(int mask, long nth, bool sticky, int err);
void ClearFault();
// How many operations of the armed kinds have been counted since SetFault.
long FaultOpsCounted();

// Used by the platform implementations: true when this operation must fail
// (errno is then set to the fault's error).
bool FaultHit(FaultOp op);

// The clock that platform::Now reads from now on, in seconds since 1970;
// 0 gives back the system's.
void SetClock(int64_t seconds);
// True with the clock a test has set.
bool ClockSet(int64_t* seconds);

// Used by ReplaceFile: true when this replacement fails half-done (see
// kFaultHalfReplace); the old file has then been moved aside.
bool HalfReplaceHit(const char* to);

}  // namespace platform

#endif  // KIVEX_PLATFORM_FAULT_H_
