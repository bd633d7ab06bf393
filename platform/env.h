// The thin operating-system layer. Everything above platform/ reaches files,
// directories and streams only through these calls; exactly one of
// env_posix.cc and env_windows.cc is compiled.
//
// Error results are errno values (0 = success); the Windows side maps its
// system error codes onto errno values, so ErrorText() serves both.
#ifndef KIVEX_PLATFORM_ENV_H_
#define KIVEX_PLATFORM_ENV_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

namespace platform {

// The character that ends a directory name before a file name is appended.
extern const char kSeparator;

// True when a command-line argument starting with `c` is a flag: '-', and
// on Windows also '/' (elsewhere '/' begins an absolute path).
bool IsFlagChar(char c);

// Queries the status of `path`. Returns 0 when it exists (and sets
// *isDirectory), else the errno of the failed query.
int StatPath(const char* path, bool* isDirectory);
bool PathExists(const char* path);

// fopen with three additions: a file that a "w" mode creates has the
// permission bits `permissions` less the umask from its first byte (POSIX;
// a file that exists keeps its own, as with cp; Windows: the folder's
// rights); an 'x' in the mode creates the file exclusively on every
// platform (fails with EEXIST when the name is taken); a 'p' beside it
// makes the new file readable and writable by its owner alone from its
// first byte (POSIX: mode 0600; Windows: an access list that names only the
// current user, none inherited from the folder); a '+' with them opens it
// for reading too.
FILE* OpenFile(const char* path, const char* mode, unsigned permissions = 0666);

// Opens the regular file `path` for reading (binary). Anything else (a
// directory, FIFO, device or socket) is refused with ENODEV before an open
// that could wait for it or set it going. Windows: another program's open
// that shares no reading (Explorer's Thumbs.db) is waited for about two
// seconds in steps, EBUSY then.
FILE* OpenRegular(const char* path);

// True when `path` is a regular file (not a link) of the running account,
// closed to all others, with one name: what this account's Kivex creates
// privately. False with errno set (ENOENT when there is none). Windows:
// a plain file, not a link (its access list is not asked).
bool IsOwnPrivateFile(const char* path);

// What an input buffer was when it was opened: which file, its size and
// its last modification (nanoseconds on POSIX, 100-nanosecond steps on
// Windows). A size of -1 stands for a pipe or device: nothing to compare.
// Its permission bits are known on POSIX only.
struct FileState {
  uint64_t volume = 0;
  uint64_t index = 0;
  int64_t size = -1;
  int64_t modified = 0;
  unsigned permissions = 0666;
};

// Opens the buffer `path` for reading (binary) and holds it until the
// stream is closed with Close, so that no mail system program writes it
// meanwhile. A lock held by another program is waited for about two
// seconds in steps. *state describes the file as held.
// For reading alone (-k, -x): Windows shares it for reading and deleting
// only (others' opens for writing fail); POSIX takes a whole-file fcntl read lock (on the
// open file description where the kernel can), which a deliverer's write
// lock waits for.
// With `rewrite` (in place) the file is opened for reading and writing
// under every lock its deliverers take, in their order: POSIX the dotlock
// `path`.lock (liblockfile; a stale one is removed by its rules), then
// flock and an fcntl write lock; Windows shares it for reading only.
// Anything but a regular file is refused before it is opened.
// Null with errno set: EBUSY when another program still holds it; EISDIR
// for a directory; with `rewrite` ENODEV for a file that is not regular, ENOLCK for a dotlock
// that cannot be made.
FILE* OpenHeld(const char* path, FileState* state, bool rewrite = false);

// Used by Close just before the stream is closed (and its kernel locks with
// it): drops the dotlock that OpenHeld took for it, if any.
void ReleaseHeld(FILE* stream);

// True when `path` still names the file of `state`, with the same size and
// modification time.
bool StillAsOpened(const char* path, const FileState& state);

// Windows: the held buffer `*stream` is opened anew, shared with nobody, so
// that no program can open it at all while its bytes are rewritten (a
// reader meets a sharing violation and tries again); others that have it
// open are waited for about two seconds (EBUSY then). *stream is replaced.
// POSIX: the locks of OpenHeld keep the deliverers out already; nothing
// changes. 0 or errno.
int HoldAlone(FILE** stream, const char* path);

// Reads up to `size` bytes at `offset` without moving the stream's
// position. Returns how many came (0 at the end), -1 with errno set.
int64_t ReadAt(FILE* stream, int64_t offset, void* bytes, size_t size);
// Writes all `size` bytes at `offset`, past the stream's buffer, without
// moving its position. 0 or errno.
int WriteAt(FILE* stream, int64_t offset, const void* bytes, size_t size);
// Starts writing [offset, offset + size) of the file under `stream` to the
// disk without waiting (0 bytes: all of it), so that a later Sync finds
// little left to do; where the system cannot, nothing.
void StartWriteback(FILE* stream, int64_t offset, int64_t size);
// Sets the size of the file under `stream`: what it grows by reads as NUL
// bytes, with its room on the disk reserved where the system can. 0 or errno.
int Resize(FILE* stream, int64_t size);

// The pauses of a wait for another program that holds a file for a moment:
// about two seconds in growing steps, in milliseconds; 0 after the last.
unsigned WaitPauseMs(int attempt);

// The stream position as a 64-bit offset; -1 when the stream cannot tell.
int64_t Tell(FILE* stream);

// True when the stream can tell its position. Asked once per stream: a
// stream found able stays so until platform::Close closes it.
bool CanTell(FILE* stream);

// The size of the regular file under `stream`; -1 for anything else (a
// pipe, a terminal, a device).
int64_t RegularFileSize(FILE* stream);

// Cuts the file under an output stream back to `size` bytes and goes on
// writing there. 0 or errno.
int TruncateTo(FILE* stream, int64_t size);

// Stops line-end translation on an output stream. 0, or -1 on failure.
int SetBinaryMode(FILE* stream);

// Checked output: the one place where buffer bytes leave the program, so
// that tests can make any of these fail (see fault.h).
size_t Write(const void* bytes, size_t count, FILE* stream);
// Bytes to be written, one of several that leave in one system call.
struct IoPiece {
  const char* bytes;
  size_t size;
};
const int kMaxPieces = 64;
// Writes the pieces in turn straight to the file under `stream`, past its
// stdio buffer, which must be empty (the stream is then written only this
// way); a stream with no file under it (in memory) is written as by Write.
// At most kMaxPieces pieces. Returns the bytes written; fewer than all after a failure, which also
// fails the stream's Close.
size_t WriteDirect(const IoPiece* pieces, int count, FILE* stream);
// 0, or EOF with errno set.
int Flush(FILE* stream);
// fclose that also fails when the stream's error flag was set before.
// 0, or EOF with errno set.
int Close(FILE* stream);
// Flushes the stream and forces its file's contents to the disk. 0 or errno.
int Sync(FILE* stream);

// malloc and realloc for the program's texts and tables; a test can make
// any one of them fail (kFaultAlloc in fault.h).
void* Allocate(size_t size);
void* Reallocate(void* block, size_t size);
// False when a test makes the allocation about to happen fail: asked
// before a `new (std::nothrow)`.
bool MayAllocate();

// Memory for a block that the system copies file pages into or out of,
// starting on a page: the kernel's copy to a misaligned address costs about
// twice as much. Null when there is none; FreeBlock(nullptr) does nothing.
void* AllocBlock(size_t size);
void FreeBlock(void* block);

// 0 or errno.
int RemoveFile(const char* path);
// The name of the file that `path` denotes when it is a symbolic link: its
// lock and its journal lie beside the file, where the mail system's programs
// look; any other name comes back as it is (on Windows in its long form).
std::string FinalName(const char* path);
// Makes the creation or removal of an entry of `path`'s directory durable,
// where the system allows.
void SyncDirectoryOf(const char* path);
// Sets *same when both names denote the same existing file, also through
// links or other spellings. 0, or errno when either cannot be queried.
int SameFile(const char* a, const char* b, bool* same);

// The directory part of `path`, its separator included; empty for a bare
// file name (the current directory).
std::string DirectoryOf(const char* path);

// The text shown behind "Fehler: " for an errno value: German for the
// errors a user meets (not found, no permission, read-only, a directory,
// in use, disk full, name too long, input/output), worded as the system
// words them; the system's own text for the rest.
const char* ErrorText(int err);
// errno after a C runtime call on a file failed. Windows: made exact where
// the runtime's is vague (a full disk, a file another program holds, a
// write-protected disk); elsewhere errno as it is.
int RuntimeErrno();
// Clears what RuntimeErrno reads, so that it tells of the next calls alone.
void ClearSystemError();

// Writes a text of the program, whose names are in the system's code page,
// to `stream`; a Windows console gets it in the console's code page, a
// file or a pipe as it is. False when it could not be written.
bool WriteText(FILE* stream, const char* text, size_t size);

// From now on the first SIGINT, SIGTERM or SIGHUP (Windows: Ctrl+C,
// Ctrl+Break, closing the console) only notes that the run is to end,
// which the run asks for with Interrupted() where it can end cleanly; a
// second ends the process. Each call starts with no interrupt noted.
void CatchInterrupts();
bool Interrupted();

// The calendar time in microseconds since 1970, 64 bits wide on every build
// (a test may set it in whole seconds, see fault.h). Windows before 8 tells
// it in steps of about 16 milliseconds.
int64_t NowMicroseconds();
// Breaks `seconds` down into local time. False when the system cannot.
bool LocalTime(int64_t seconds, struct tm* local);
// The id of this process: no other process running now has it.
uint32_t ProcessId();

// A second thread that runs jobs one at a time, in the order they are
// handed over: a block is written while the next one is read. Where no
// thread can be had, a job runs at once in the caller's thread.
class cWorker {
 public:
  // With `eventsOnly`, Windows waits on kernel events even where it could
  // wait on an address, as it must before Windows 8 (for tests; POSIX has
  // one way only).
  explicit cWorker(bool eventsOnly = false);
  // Waits for the job in hand, then ends the thread.
  ~cWorker();
  cWorker(const cWorker&) = delete;
  cWorker& operator=(const cWorker&) = delete;

  // Waits until the job before is done, then hands over job(arg).
  void Post(void (*job)(void*), void* arg);
  // Waits until the job in hand is done.
  void Wait();

  struct Impl;  // the thread's side, known to the thread's function

 private:
  Impl* impl_;
  bool eventsOnly_;
};

// Lists the entries of one directory, "." and ".." included where the
// system delivers them.
class cDirListing {
 public:
  cDirListing();
  ~cDirListing();
  cDirListing(const cDirListing&) = delete;
  cDirListing& operator=(const cDirListing&) = delete;

  // REQUIRES: `dir` ends with kSeparator. False when no listing can start.
  bool Start(const char* dir);
  // The next entry's name, or nullptr when there are no more. The text is
  // valid until the next call.
  const char* Next();

 private:
  struct Impl;
  Impl* impl_;
};

}  // namespace platform

#endif  // KIVEX_PLATFORM_ENV_H_
