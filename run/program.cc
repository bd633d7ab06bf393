#include "run/program.h"

#include "buffer/cstring.h"
#include "buffer/file_stream.h"
#include "face/filter_loop.h"
#include "face/known_faces.h"
#include "platform/env.h"
#include "platform/fault.h"
#include "run/command_line.h"
#include "buffer/log.h"
#include "run/temp_buffer.h"

namespace {

// Owns what lives for the whole run; the destructor releases it on every
// way out, closing streams still open.
struct cRun {
  ~cRun() { FreeKnownFaceSet(known); }

  RunOptions options;
  cFileStream input;
  cFileStream output;
  cString keptOutputName{64};
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

void PrintStatistics(const RunOptions& options, const RunCounters& counters) {
  if (options.flags & OPT_EXTRACT) {
    LogMsg(stdout, "%s", "\n");
    LogMsg(stdout, "Faces insgesamt    : %4d\n", counters.facesTotal);
    LogMsg(stdout, "Faces geschrieben  : %4d\n", counters.facesWritten);
    LogMsg(stdout, "Faces mehrfach     : %4d\n", counters.facesDuplicate);
  } else if (options.flags & (OPT_INPLACE | OPT_INSERT)) {
    LogMsg(stdout, "%s", "\n");
    LogMsg(stdout, "Faces insgesamt      : %4d\n", counters.facesTotal);
    LogMsg(stdout, "FacesMsgs geschrieben: %4d\n", counters.faceMsgsWritten);
  }
}

}  // namespace

int RunKivex(int argc, char** argv) {
  BufferConsole();
  cRun run;
  RunOptions& opt = run.options;
  if (!scan_args(argc, argv, opt.inputBuffer, opt.outputBuffer, opt.extractDir, opt.flags))
    return 1;
  bool inPlace = (opt.flags & OPT_INPLACE) && (opt.flags & OPT_INSERT);
  // Held until the end: nobody else writes the buffer while it is read.
  if (run.input.OpenHeld(opt.inputBuffer.Text(), kStreamBuffer) != 0) return 1;
  if (inPlace) {
    cString tempDir;
    if (!TempPath(tempDir) || !OpenTmpOutFile(tempDir, run.output)) return 1;
  } else if (opt.flags & OPT_INSERT) {
    if (RefuseOutputIsInput(opt.inputBuffer.Text(), opt.outputBuffer.Text())) return 1;
    if (run.output.Open(opt.outputBuffer.Text(), "wb", kStreamBuffer) != 0) return 1;
  }
  if ((opt.flags & OPT_EXTRACT) && !PrepareExtractionDir(opt.extractDir, run.known)) return 1;
  if (!FilterBuffer((opt.flags & OPT_EXTRACT) != 0, run.input, run.output, opt.extractDir, run.known, run.counters))
    return 1;
  if (run.output.FileName != nullptr && !run.keptOutputName.Assign(run.output.FileName)) {
    LogMsg(stderr, "%s", "Kein Speicher fuer den Namen des Ausgabepuffers\n");
    return 1;
  }
  // Only a complete result on the disk may replace the input buffer.
  if (inPlace) {
    int err = run.output.Sync();
    if (err != 0) {
      LogMsg(stderr, "Der temporaere Puffer %s konnte nicht gesichert werden\n",
             run.keptOutputName.Text());
      LogMsg(stderr, "Fehler: %s\n", platform::ErrorText(err));
      return 1;
    }
  }
  if (run.output.Close() != 0) return 1;
  // A program that wrote the buffer anyway (one that takes no lock) must
  // lose nothing: the result stands only for the buffer as it was read.
  platform::AtStep("check");
  if (!run.input.Unchanged()) {
    ReportInputChanged(opt.inputBuffer.Text(), inPlace ? run.keptOutputName.Text() : nullptr);
    return 1;
  }
  if (inPlace && !ReplaceByTmpFile(opt.inputBuffer.Text(), run.keptOutputName.Text(), &run.input))
    return 1;
  run.input.Close();
  PrintStatistics(opt, run.counters);
  return 0;
}
