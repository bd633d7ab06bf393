#include "buffer/file_stream.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "buffer/console_text.h"
#include "platform/env.h"

cFileStream::cFileStream() : File(nullptr), FileName(nullptr), buffer_(nullptr), changed_(false) {}

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
  File = held != kNotHeld ? platform::OpenHeld(name, &state_, held == kHeldForRewrite)
                           : platform::OpenFile(name, mode, permissions);
  if (File == nullptr) {
    if (strchr(mode, 'x') != nullptr && errno == EEXIST) return 2;
    if (held != kNotHeld && errno == EBUSY) {
      PrintText(stderr, "Der Puffer %s wird gerade von einem anderen Programm geschrieben\n", name);
      return 1;
    }
    if (held == kHeldForRewrite && errno == ENOLCK) {
      PrintText(stderr, "Die Sperrdatei %s.lock kann nicht angelegt werden; ohne sie filtert "
                "Kivex den Puffer nicht an seiner Stelle (mit -k wird er nur gelesen)\n", name);
      return 1;
    }
    if (held == kHeldForRewrite && errno == ENODEV) {
      PrintText(stderr, "Der Puffer %s ist keine gewoehnliche Datei und kann nicht an seiner "
                "Stelle gefiltert werden (mit -k oder -x wird er nur gelesen)\n", name);
      return 1;
    }
    perror("Fehler");
    PrintText(stderr, "Fehler beim Oeffnen der Datei %s\n", name);
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
    if (Writer.Stream() == stream) Writer.Flush();
    Writer.Bind(nullptr);
    if (platform::Close(stream) != 0) {
      perror("Fehler");
      perror("Fehler");
      PrintText(stderr, "Fehler beim Schliessen der Datei %s\n",
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
