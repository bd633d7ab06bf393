// Fault injection for the I/O paths and for memory, in the manner of
// SQLite's I/O-error and malloc tests: a test names the kinds of operation
// to fail and the number of the first one that fails. Off unless a test
// turns it on. A test may also have the kinds of the operations met noted
// in order, to see that a step happens and where.
#ifndef KIVEX_PLATFORM_FAULT_H_
#define KIVEX_PLATFORM_FAULT_H_

#include <cstdint>
#include <string>

namespace platform {

enum FaultOp {
  kFaultWrite = 1,
  kFaultFlush = 2,
  kFaultClose = 4,
  kFaultSync = 8,
  kFaultResize = 16,  // the size change of a buffer rewritten in place
  kFaultOpen = 32,
  kFaultDirSync = 64,  // the sync of a directory after an entry came or went
  kFaultAll = 127,     // every operation on files above
  kFaultProbe = 128,   // a file status query: a hit says "no such file"
  kFaultAlloc = 256,   // memory for texts, tables and blocks
};

// From now on, the `nth` operation (counting from 1) of the kinds in `mask`
// fails with `err`; with `sticky`, every later one of those kinds fails too.
void SetFault(int mask, long nth, bool sticky, int err);
// Arms one more fault beside the one SetFault armed, counted on its own.
void AddFault(int mask, long nth, bool sticky, int err);
void ClearFault();
// How many operations of the kinds SetFault armed have been counted since.
long FaultOpsCounted();

// A test's function, run at the named points of a run: "read", before each
// block is read from the input; in place "journal", the journal complete on
// the disk; "check", before the buffer is compared with what was read;
// "resized", the buffer's new size on the disk; "copy", before each piece
// of the new bytes is written into it; "written", all of them on the disk;
// "done", the journal removed, the locks still held. None unless a test
// sets one.
void SetStepHook(void (*hook)(const char* step));
void AtStep(const char* step);
// Notes the operations of the kinds in `mask` from now on (0: none), one
// letter each: W write, F flush, C close, S sync, R resize, O open,
// D directory sync, P probe, A allocation; a failed one in lower case.
void RecordOps(int mask);
std::string RecordedOps();

// Used by the platform implementations: true when this operation must fail
// (errno is then set to the fault's error).
bool FaultHit(FaultOp op);

// The clock that platform::NowMicroseconds reads from now on, in seconds
// since 1970; 0 gives back the system's.
void SetClock(int64_t seconds);
// True with the clock a test has set.
bool ClockSet(int64_t* seconds);

}  // namespace platform

#endif  // KIVEX_PLATFORM_FAULT_H_
