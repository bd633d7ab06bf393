// One stdio stream together with the name it was opened under. Buffer files
// and the log stream are cFileStreams; reading and writing use File directly.
#ifndef KIVEX_BUFFER_FILE_STREAM_H_
#define KIVEX_BUFFER_FILE_STREAM_H_

#include <cstdio>

#include "buffer/block_writer.h"

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
  // buffering with a stream buffer of that size. A stream for writing is
  // switched to binary mode here, once; with a `bufferSize` above 0 it is
  // written through Writer, in blocks of our own. Closes a file already open
  // first. Returns 0 on success, 1 after reporting the failure on standard
  // error, and, for an exclusive mode ("wbx"), 2 without a report when the
  // name is already taken.
  int Open(const char* name, const char* mode, int bufferSize);
  // 0 when nothing was open or the file closed cleanly; 1 after reporting a
  // failed close, which includes any earlier write error on the stream. The
  // stream counts as closed either way and FileName is released.
  int Close();
  // Writes what Writer holds and forces the file's contents to the disk.
  // 0 or errno.
  int Sync();

  FILE* File;      // null while closed
  char* FileName;  // copy of the last Open's name; null when none
  cBlockWriter Writer;  // bound to File when it is written in blocks

 private:
  // The stream buffer asked for at Open: glibc ignores the size unless it is
  // given the buffer itself. Freed after the file is closed.
  char* buffer_;
};

#endif  // KIVEX_BUFFER_FILE_STREAM_H_
