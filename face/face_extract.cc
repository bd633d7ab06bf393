#include "face/face_extract.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "face/bmp.h"
#include "platform/env.h"
#include "buffer/log.h"

namespace {

const int kMaxFaceFiles = 10000;

// Process-wide: numbers are handed out rising within a run, so no number is
// probed twice.
int32_t gLastFaceFileNo = -1;
cString* gFaceFileName = nullptr;

void ReleaseFaceFileName() {
  delete gFaceFileName;
  gFaceFileName = nullptr;
}

bool BuildName(const cString& dir, int number) {
  char file[24];
  snprintf(file, sizeof file, "KIVO%04d.BMP", number % 10000);
  return gFaceFileName->Assign(dir.Text()) && gFaceFileName->Append(file, 12);
}

bool NoMemoryForName() {
  LogMsg(stderr, "%s", "Kein Speicher fuer den Namen der Face-Datei\n");
  return false;
}

}  // namespace

const char* LastFaceFileName() { return gFaceFileName != nullptr ? gFaceFileName->Text() : ""; }

void RestartFaceFileNumbers() { gLastFaceFileNo = -1; }

bool WriteFaceFile(const cString& extractDir, const cString& oBMP) {
  if (gFaceFileName == nullptr) {
    if (platform::MayAllocate()) gFaceFileName = new (std::nothrow) cString(64);
    if (gFaceFileName == nullptr || gFaceFileName->Data == nullptr) {
      delete gFaceFileName;
      gFaceFileName = nullptr;
      return NoMemoryForName();
    }
    atexit(ReleaseFaceFileName);
  }
  FILE* file = nullptr;
  int n = gLastFaceFileNo + 1;
  for (; n < kMaxFaceFiles; ++n) {
    if (!BuildName(extractDir, n)) return NoMemoryForName();
    if (platform::PathExists(gFaceFileName->Text())) continue;
    gLastFaceFileNo = n;
    // Created exclusively: a file that appeared since the probe is skipped.
    file = platform::OpenFile(gFaceFileName->Text(), "wbx");
    if (file != nullptr) break;
    if (errno == EEXIST) continue;
    int err = errno;
    LogMsg(stderr, "Datei %s konnte nicht geoeffnet werden\n", gFaceFileName->Text());
    LogMsg(stderr, "%s (%d)\n", platform::ErrorText(err), err);
    return false;
  }
  if (n >= kMaxFaceFiles) {
    LogMsg(stderr, "%s",
           "Im Extraktionsverzeichnis konnte kein freier Dateiname bestimmt werden "
           "(more than 10000 files)\n");
    return false;
  }
  size_t size = static_cast<size_t>(oBMP.Size());
  bool written = platform::Write(oBMP.Data, size, file) == size;
  // The write's reason, else the close's.
  int err = written ? 0 : platform::RuntimeErrno();
  if (platform::Close(file) != 0 && written) {
    err = errno;
    written = false;
  }
  if (!written) {
    LogMsg(stderr, "Datei %s konnte nicht geschrieben werden\n", gFaceFileName->Text());
    LogMsg(stderr, "%s (%d)\n", platform::ErrorText(err), err);
    platform::RemoveFile(gFaceFileName->Text());
    return false;
  }
  return true;
}
