// Fault injection for the I/O paths, in the manner of SQLite's I/O-error
// tests: a test names the kinds of operation to fail and the number of the
// first one that fails. Off unless a test turns it on.
#ifndef KIVEX_PLATFORM_FAULT_H_
#define KIVEX_PLATFORM_FAULT_H_

namespace platform {

enum FaultOp {
  kFaultWrite = 1,
  kFaultFlush = 2,
  kFaultClose = 4,
  kFaultSync = 8,
  kFaultRename = 16,
  kFaultOpen = 32,
  kFaultAll = 63,
};

// From now on, the `nth` operation (counting from 1) of the kinds in `mask`
// fails with `err`; with `sticky`, every later one of those kinds fails too.
void SetFault(int mask, long nth, bool sticky, int err);
void ClearFault();
// How many operations of the armed kinds have been counted since SetFault.
long FaultOpsCounted();

// A test's function, run at the named points of a run: "read", before each
// block is read from the input; "check", before the input is compared with
// what was read, the result on the disk. None unless a test sets one.
void SetStepHook(void (*hook)(const char* step));
void AtStep(const char* step);

// Used by the platform implementations: true when this operation must fail
// (errno is then set to the fault's error).
bool FaultHit(FaultOp op);

}  // namespace platform

#endif  // KIVEX_PLATFORM_FAULT_H_
