// The operations common to both platforms. The stream operations pass
// through the fault-injection points so that tests can make any of them fail.
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/uio.h>
#include <unistd.h>
#endif

#include "platform/env.h"
#include "platform/fault.h"

namespace platform {

namespace {

// Why the last write failed, for the report of the close that follows it.
// Both are set by the writing thread too.
std::atomic<int> gWriteError{0};
// The stream last found able to tell its position.
FILE* gTellable = nullptr;
// The stream whose direct write failed last: its stdio error flag knows nothing.
std::atomic<FILE*> gFailedDirect{nullptr};

const size_t kPage = 4096;

// The block lies behind the start of what malloc gave, which is kept just
// before it (malloc aligns to at least the size of a pointer).
void* PageBlock(void* room) {
  char* raw = static_cast<char*>(room);
  if (raw == nullptr) return nullptr;
  char* block = raw + kPage - reinterpret_cast<uintptr_t>(raw) % kPage;
  memcpy(block - sizeof raw, &raw, sizeof raw);
  return block;
}

}  // namespace

void ClearSystemError() {
  errno = 0;
#ifdef _WIN32
  SetLastError(0);
#endif
}

bool PathExists(const char* path) {
  bool isDirectory;
  return StatPath(path, &isDirectory) == 0;
}

size_t Write(const void* bytes, size_t count, FILE* stream) {
  if (count == 0) return 0;
  ClearSystemError();
  size_t written = FaultHit(kFaultWrite) ? 0 : fwrite(bytes, 1, count, stream);
  if (written != count) gWriteError = errno != 0 ? RuntimeErrno() : EIO;
  return written;
}

namespace {

#ifdef _WIN32
// Windows has no gathering write for buffered files: pieces are put
// together here first, so that one write still carries them all. Writes
// may run in writing threads: one at a time has the room, the others write
// piece by piece meanwhile.
char* gGathered = nullptr;
size_t gGatheredSize = 0;
std::atomic<bool> gGatheredBusy{false};
#endif

// One system call for as many of the pieces as it takes; -1 on failure.
long WriteOnce(const IoPiece* pieces, int count, FILE* stream) {
#ifdef _WIN32
  const char* bytes = pieces[0].bytes;
  size_t size = pieces[0].size;
  bool gathering = count > 1 && !gGatheredBusy.exchange(true);
  if (gathering) {
    size_t total = 0;
    for (int i = 0; i < count; ++i) total += pieces[i].size;
    if (total > gGatheredSize) {
      // Without the room the pieces go one by one.
      FreeBlock(gGathered);
      // Not through Allocate: a test's count of allocations stays the
      // main thread's, whenever the writing thread comes to need room.
      gGathered = static_cast<char*>(total > SIZE_MAX - kPage ? nullptr : PageBlock(malloc(total + kPage)));
      gGatheredSize = gGathered != nullptr ? total : 0;
    }
    if (total <= gGatheredSize) {
      size = 0;
      for (int i = 0; i < count; ++i) {
        memcpy(gGathered + size, pieces[i].bytes, pieces[i].size);
        size += pieces[i].size;
      }
      bytes = gGathered;
    }
  }
  unsigned chunk = static_cast<unsigned>(size < (1u << 30) ? size : 1u << 30);
  // Straight to the file: where part of a block fits on the disk, the C
  // runtime's _write (Wine's at least) fails with EINVAL and no Win32 error;
  // WriteFile writes that part, and the next call tells the disk is full.
  HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  DWORD done = 0;
  SetLastError(0);
  long written = WriteFile(file, bytes, chunk, &done, nullptr) || done > 0 ? static_cast<long>(done) : -1;
  if (written < 0) errno = RuntimeErrno();
  if (gathering) gGatheredBusy = false;
  return written;
#else
  struct iovec vector[kMaxPieces];
  for (int i = 0; i < count; ++i) vector[i] = {const_cast<char*>(pieces[i].bytes), pieces[i].size};
  return static_cast<long>(writev(fileno(stream), vector, count));
#endif
}

}  // namespace

size_t WriteDirect(const IoPiece* pieces, int count, FILE* stream) {
  size_t done = 0;
  // A stream without a file (in memory) has only its stdio buffer.
  if (fileno(stream) < 0) {
    for (int i = 0; i < count; ++i) {
      size_t written = Write(pieces[i].bytes, pieces[i].size, stream);
      done += written;
      if (written != pieces[i].size) return done;
    }
    return done;
  }
  IoPiece rest[kMaxPieces];
  int left = 0;
  for (int i = 0; i < count && left < kMaxPieces; ++i)
    if (pieces[i].size > 0) rest[left++] = pieces[i];
  IoPiece* next = rest;
  while (left > 0 && !FaultHit(kFaultWrite)) {
    errno = 0;
    long n = WriteOnce(next, left, stream);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
    // A short write goes on where it stopped.
    size_t taken = static_cast<size_t>(n);
    for (; left > 0 && taken >= next->size; --left) taken -= (next++)->size;
    if (left > 0) {
      next->bytes += taken;
      next->size -= taken;
    }
  }
  if (left > 0) {
    gWriteError = errno != 0 ? errno : EIO;
    gFailedDirect = stream;
  }
  return done;
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
  bool failedBefore = ferror(stream) != 0 || stream == gFailedDirect;
  if (stream == gFailedDirect) gFailedDirect = nullptr;
  // The last bytes leave at the flush; its failure is the close's (Wine's
  // fclose returns 0 after its own flush failed), and it comes before the
  // locks go.
  ClearSystemError();
  int err = fflush(stream) == 0 ? 0 : RuntimeErrno() != 0 ? RuntimeErrno() : EIO;
  ReleaseHeld(stream);
  ClearSystemError();
  bool closed = fclose(stream) == 0;
  if (err == 0 && !closed) err = RuntimeErrno();
  if (FaultHit(kFaultClose)) return EOF;
  if (err == 0 && failedBefore) err = gWriteError;
  if (closed && err == 0 && !failedBefore) return 0;
  errno = err != 0 ? err : EIO;
  return EOF;
}

unsigned WaitPauseMs(int attempt) {
  static const unsigned kPauses[] = {1, 10, 20, 40, 80, 160, 250, 250, 250, 250, 250, 250, 250};
  return attempt >= 0 && attempt < static_cast<int>(sizeof kPauses / sizeof kPauses[0])
             ? kPauses[attempt]
             : 0;
}

bool MayAllocate() { return !FaultHit(kFaultAlloc); }

void* Allocate(size_t size) { return MayAllocate() ? malloc(size) : nullptr; }

void* Reallocate(void* block, size_t size) { return MayAllocate() ? realloc(block, size) : nullptr; }

void* AllocBlock(size_t size) {
  return size > SIZE_MAX - kPage ? nullptr : PageBlock(Allocate(size + kPage));
}

void FreeBlock(void* block) {
  if (block == nullptr) return;
  char* raw;
  memcpy(&raw, static_cast<char*>(block) - sizeof raw, sizeof raw);
  free(raw);
}

}  // namespace platform
