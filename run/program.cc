#include "run/program.h"

#include <cerrno>

#include "buffer/cstring.h"
#include "buffer/file_stream.h"
#include "face/filter_loop.h"
#include "face/known_faces.h"
#include "platform/env.h"
#include "platform/fault.h"
#include "run/command_line.h"
#include "buffer/log.h"
#include "run/journal.h"

namespace {

// Owns what lives for the whole run; the destructor releases it on every
// way out, closing streams still open.
struct cRun {
  ~cRun() {
    FreeKnownFaceSet(known);
    // A journal not yet complete holds nothing the buffer needs.
    if (!journal.empty()) {
      output.Abandon();
      platform::RemoveFile(journal.c_str());
    }
  }

  RunOptions options;
  cFileStream input;
  cFileStream output;  // the -k buffer, or in place the journal
  std::string journal;  // in place, until the rewrite has taken it over
  KnownFaceSet known;
  RunCounters counters;
};



// "wb" would truncate the input before it is read.
bool RefuseOutputIsInput(const char* input, const char* output) {
  bool same = false;
  if (platform::SameFile(input, output, &same) != 0 || !same) return false;
  LogMsg(stderr, "Ausgabepuffer %s und Eingangspuffer %s sind dieselbe Datei\n", output, input);
  return true;
}

// False after the report: counters that did not reach standard output (a
// full disk, /dev/full) fail the run, or a caller would take them as read.
bool PrintStatistics(const RunOptions& options, const RunCounters& counters) {
  bool ok = true;
  if (options.flags & OPT_EXTRACT) {
    ok = LogMsg(stdout, "%s", "\n") &&
         LogMsg(stdout, "Faces insgesamt    : %4d\n", counters.facesTotal) &&
         LogMsg(stdout, "Faces geschrieben  : %4d\n", counters.facesWritten) &&
         LogMsg(stdout, "Faces mehrfach     : %4d\n", counters.facesDuplicate);
  } else if (options.flags & (OPT_INPLACE | OPT_INSERT)) {
    ok = LogMsg(stdout, "%s", "\n") &&
         LogMsg(stdout, "Faces insgesamt      : %4d\n", counters.facesTotal) &&
         LogMsg(stdout, "FacesMsgs geschrieben: %4d\n", counters.faceMsgsWritten);
  }
  if (ok) return true;
  LogSystemError(platform::RuntimeErrno());
  LogMsg(stderr, "%s", "Die Zaehler konnten nicht auf die Standardausgabe geschrieben werden\n");
  return false;
}

}  // namespace

int RunKivex(int argc, char** argv) {
  BufferConsole();
  cRun run;
  RunOptions& opt = run.options;
  if (!scan_args(argc, argv, opt.inputBuffer, opt.outputBuffer, opt.extractDir, opt.flags))
    return 1;
  // Through a link, the lock and the journal lie beside the buffer itself.
  const std::string final = platform::FinalName(opt.inputBuffer.Text());
  const char* input = final.c_str();
  bool inPlace = (opt.flags & OPT_INPLACE) && (opt.flags & OPT_INSERT);
  // In place a run must end through its clean-up: it leaves a journal.
  if (inPlace) platform::CatchInterrupts();
  // An interrupted rewrite is put in order before anybody reads the buffer.
  if (!RecoverJournal(input)) return 1;
  // Held until the end: nobody else writes the buffer while it is read.
  if (run.input.OpenHeld(input, kStreamBuffer, inPlace) != 0) return 1;
  if (inPlace) {
    if (!CreateJournal(input, run.output)) return 1;
    run.journal = JournalName(input);
    run.output.Writer.SkipSame(run.input.File);
  } else if (opt.flags & OPT_INSERT) {
    if (RefuseOutputIsInput(input, opt.outputBuffer.Text())) return 1;
    // Created with the input's rights, less the umask, as cp does: the
    // copy of a private buffer is private from its first byte.
    if (run.output.Open(opt.outputBuffer.Text(), "wb", kStreamBuffer,
                        run.input.HeldState().permissions) != 0)
      return 1;
  }
  if ((opt.flags & OPT_EXTRACT) && !PrepareExtractionDir(opt.extractDir, run.known)) return 1;
  if (!FilterBuffer((opt.flags & OPT_EXTRACT) != 0, run.input, run.output, opt.extractDir, run.known, run.counters))
    return 1;
  if (platform::Interrupted()) {
    LogMsg(stderr, "%s", kInterrupted);
    return 1;
  }
  if (inPlace) {
    // From here the rewrite owns the journal, whatever comes of it.
    run.journal.clear();
    if (RewriteFromJournal(run.input, run.output) != kRewritten) return 1;
  } else {
    if (run.output.Close() != 0) return 1;
    // A program that wrote the buffer anyway (one that takes no lock) must
    // lose nothing: the result stands only for the buffer as it was read.
    platform::AtStep("check");
    if (!run.input.Unchanged()) {
      ReportChanged(input);
      return 1;
    }
  }
  if (run.input.Close() != 0) return 1;
  // A signal during the rewrite waited for its end; it still ends the run.
  if (platform::Interrupted()) {
    LogMsg(stderr, "%s", "Der Lauf wurde abgebrochen\n");
    return 1;
  }
  return PrintStatistics(opt, run.counters) ? 0 : 1;
}
