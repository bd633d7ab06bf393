// The operations common to both platforms. The stream operations pass
// through the fault-injection points so that tests can make any of them fail.
#include <cerrno>

#include "platform/env.h"
#include "platform/fault.h"

namespace platform {

namespace {
// Why the last write failed, for the report of the close that follows it.
int gWriteError = 0;
// The stream last found able to tell its position.
FILE* gTellable = nullptr;
}  // namespace

bool PathExists(const char* path) {
  bool isDirectory;
  return StatPath(path, &isDirectory) == 0;
}

size_t Write(const void* bytes, size_t count, FILE* stream) {
  if (count == 0) return 0;
  size_t written = FaultHit(kFaultWrite) ? 0 : fwrite(bytes, 1, count, stream);
  if (written != count) gWriteError = errno != 0 ? errno : EIO;
  return written;
}

int Flush(FILE* stream) {
  if (FaultHit(kFaultFlush)) return EOF;
  return fflush(stream);
}

bool CanTell(FILE* stream) {
  if (stream == gTellable) return true;
  if (Tell(stream) == -1) return false;
  gTellable = stream;
  return true;
}

int Close(FILE* stream) {
  if (stream == gTellable) gTellable = nullptr;
  // A write that failed earlier in the stdio buffer fails the close too.
  bool failedBefore = ferror(stream) != 0;
  if (fclose(stream) != 0) return EOF;
  if (FaultHit(kFaultClose)) return EOF;
  if (failedBefore) {
    errno = gWriteError != 0 ? gWriteError : EIO;
    return EOF;
  }
  return 0;
}

}  // namespace platform
