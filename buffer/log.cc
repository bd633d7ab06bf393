#include "buffer/log.h"

#include <cstdarg>

#include "buffer/console_text.h"
#include "platform/env.h"

cFileStream oLogFile;

const char kSeparatorLine[] =
    "------------------------------------------------------------------------------\n";
const char kInterrupted[] = "Der Lauf wurde abgebrochen; der Eingangspuffer bleibt unveraendert\n";

void BufferConsole() {
  // Large enough that a flood of reports goes out in few writes (glibc
  // takes a size only together with a buffer).
  static char out[1 << 16], err[1 << 16];
  setvbuf(stdout, out, _IOFBF, sizeof out);
  setvbuf(stderr, err, _IOFBF, sizeof err);
}

bool LogMsg(FILE* console, const char* format, ...) {
  bool ok = true;
  platform::ClearSystemError();  // a failure below is told by what it left
  // What was written straight to the other console stream comes first.
  if (console == stdout) fflush(stderr);
  if (console == stderr) fflush(stdout);
  va_list args;
  va_start(args, format);
  if (console != nullptr) {
    va_list copy;
    va_copy(copy, args);
    if (!PrintTextV(console, format, copy)) ok = false;
    va_end(copy);
  }
  if (oLogFile.File != nullptr && vfprintf(oLogFile.File, format, args) < 0) ok = false;
  va_end(args);
  // A console stream on a full disk fails only here.
  if ((console == stdout || console == stderr) && fflush(console) != 0) ok = false;
  return ok;
}

void LogSystemError(int err) { LogMsg(stderr, "Fehler: %s\n", platform::ErrorText(err)); }
