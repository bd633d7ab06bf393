// One stdio stream together with the name it was opened under. Buffer files
// and the log stream are cFileStreams; reading and writing use File directly.
#ifndef KIVEX_BUFFER_FILE_STREAM_H_
#define KIVEX_BUFFER_FILE_STREAM_H_

#include <cstdio>

#include "buffer/block_writer.h"
#include "platform/env.h"

// Stream buffer size for buffer files: large enough that the system calls
// do not dominate a run over gigabytes.
const int kStreamBuffer = 1 << 18;

class cFileStream {
 public:
  cFileStream();
  // Closes a file still open, as Close does.
  ~cFileStream();
  cFileStream(const cFileStream&) = delete;
  cFileStream& operator=(const cFileStream&) = delete;

  // Opens `name` with an fopen `mode`; a `bufferSize` above 0 asks for full
  // buffering with a stream buffer of that size. A file that "w" creates
  // gets `permissions` less the umask (see platform::OpenFile). A stream for writing is
  // switched to binary mode here, once; with a `bufferSize` above 0 it is
  // written through Writer, in blocks of our own. Closes a file already open
  // first. Returns 0 on success, 1 after reporting the failure on standard
  // error, and, for an exclusive mode ("wbx"), 2 without a report when the
  // name is already taken.
  int Open(const char* name, const char* mode, int bufferSize, unsigned permissions = 0666);
  // Opens the buffer `name` for reading like Open with mode "rb", and holds
  // it until Close so that no other program writes it meanwhile
  // (platform::OpenHeld); with `rewrite` also for writing, under the mail
  // system's locks, a regular file only. Reports a buffer still in use
  // after the wait, and one that cannot be rewritten.
  int OpenHeld(const char* name, int bufferSize, bool rewrite = false);
  // A reader found the held file ending elsewhere than it did at the open.
  void NoteChanged() { changed_ = true; }
  // True when the held file is still the one opened, with its size and
  // modification time, and no reader found it changed.
  bool Unchanged() const {
    return !changed_ && FileName != nullptr && platform::StillAsOpened(FileName, state_);
  }
  // The held file as opened; kept after Close.
  const platform::FileState& HeldState() const { return state_; }
  // 0 when nothing was open or the file closed cleanly; 1 after reporting a
  // failed close, which includes any earlier write error on the stream. The
  // stream counts as closed either way and FileName is released.
  int Close();
  // Writes what Writer holds and forces the file's contents to the disk.
  // 0 or errno.
  int Sync();
  // Closes the file without writing what Writer still holds and without a
  // report: for a file that is about to be removed.
  void Abandon();

  FILE* File;      // null while closed
  char* FileName;  // copy of the last Open's name; null when none
  cBlockWriter Writer;  // bound to File when it is written in blocks

 private:
  enum Hold { kNotHeld, kHeldForReading, kHeldForRewrite };
  int OpenAs(const char* name, const char* mode, int bufferSize, Hold held,
             unsigned permissions = 0666);

  // The stream buffer asked for at Open: glibc ignores the size unless it is
  // given the buffer itself. Freed after the file is closed.
  char* buffer_;
  platform::FileState state_;  // of a held file, as opened
  bool changed_;
  bool written_;  // opened for writing: a stream error at the close is a write's
};

#endif  // KIVEX_BUFFER_FILE_STREAM_H_
