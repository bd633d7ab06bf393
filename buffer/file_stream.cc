#include "buffer/file_stream.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "buffer/log.h"
#include "platform/env.h"

cFileStream::cFileStream() : File(nullptr), FileName(nullptr), buffer_(nullptr), changed_(false),
                             written_(false) {}

cFileStream::~cFileStream() { Close(); }

int cFileStream::Open(const char* name, const char* mode, int bufferSize, unsigned permissions) {
  return OpenAs(name, mode, bufferSize, kNotHeld, permissions);
}

int cFileStream::OpenHeld(const char* name, int bufferSize, bool rewrite) {
  return OpenAs(name, "rb", bufferSize, rewrite ? kHeldForRewrite : kHeldForReading);
}

int cFileStream::OpenAs(const char* name, const char* mode, int bufferSize, Hold held,
                        unsigned permissions) {
  if (File != nullptr && Close() != 0) return 1;
  state_ = platform::FileState();
  changed_ = false;
  free(FileName);
  FileName = nullptr;
  size_t size = strlen(name) + 1;
  FileName = static_cast<char*>(malloc(size));
  if (FileName == nullptr) return 1;
  memcpy(FileName, name, size);
  written_ = strchr(mode, 'w') != nullptr;  // a rewrite writes past stdio
  File = held != kNotHeld ? platform::OpenHeld(name, &state_, held == kHeldForRewrite)
                           : platform::OpenFile(name, mode, permissions);
  if (File == nullptr) {
    int err = errno;
    if (strchr(mode, 'x') != nullptr && err == EEXIST) return 2;
    if (held != kNotHeld && err == EBUSY) {
      LogMsg(stderr, "Der Puffer %s wird gerade von einem anderen Programm geschrieben\n", name);
      return 1;
    }
    if (held == kHeldForRewrite && err == ENOLCK) {
      LogMsg(stderr, "Die Sperrdatei %s.lock kann nicht angelegt werden; ohne sie filtert "
             "Kivex den Puffer nicht an seiner Stelle (mit -k wird er nur gelesen)\n", name);
      return 1;
    }
    if (held == kHeldForRewrite && err == ENODEV) {
      LogMsg(stderr, "Der Puffer %s ist keine gewoehnliche Datei und kann nicht an seiner "
             "Stelle gefiltert werden (mit -k oder -x wird er nur gelesen)\n", name);
      return 1;
    }
    LogSystemError(err);
    LogMsg(stderr, "Fehler beim Oeffnen der Datei %s\n", name);
    return 1;
  }
  // Set once here, never per message: on Windows each switch flushes.
  if (strchr(mode, 'w') != nullptr && platform::SetBinaryMode(File) == -1) {
    fprintf(stderr, "setmode failed\n");
    Close();
    return 1;
  }
  if (bufferSize > 0 && strchr(mode, 'w') != nullptr) {
    Writer.Bind(File);
  } else if (bufferSize > 0) {
    buffer_ = static_cast<char*>(malloc(static_cast<size_t>(bufferSize)));
    // Without it the stream keeps its default buffer.
    if (buffer_ != nullptr && setvbuf(File, buffer_, _IOFBF, static_cast<size_t>(bufferSize)) != 0) {
      free(buffer_);
      buffer_ = nullptr;
    }
  }
  return 0;
}

int cFileStream::Sync() {
  if (File == nullptr) return EBADF;
  if (Writer.Stream() == File && !Writer.Flush()) return Writer.Error();
  return platform::Sync(File);
}

void cFileStream::Abandon() {
  if (File != nullptr) {
    Writer.Bind(nullptr);  // drops what was not handed over
    platform::Close(File);
    File = nullptr;
  }
  free(buffer_);
  buffer_ = nullptr;
  free(FileName);
  FileName = nullptr;
}

int cFileStream::Close() {
  int result = 0;
  if (File != nullptr) {
    FILE* stream = File;
    File = nullptr;
    // A failed write of the last block fails the close below.
    int err = 0;
    if (Writer.Stream() == stream && !Writer.Flush()) err = Writer.Error();
    Writer.Bind(nullptr);
    // A read error has been reported by the reader that met it.
    if (!written_) clearerr(stream);
    if (platform::Close(stream) != 0) {
      LogSystemError(err != 0 ? err : errno);
      LogMsg(stderr, "Fehler beim Schliessen der Datei %s\n",
             FileName != nullptr ? FileName : "-- Unbekannt --");
      result = 1;
    }
  }
  free(buffer_);
  buffer_ = nullptr;
  free(FileName);
  FileName = nullptr;
  return result;
}
