#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "platform/env.h"
#include "platform/fault.h"

namespace platform {

const char kSeparator = '\\';

bool IsFlagChar(char c) { return c == '-' || c == '/'; }

namespace {

// The few system errors the program can meet, as errno values, so that one
// message table serves both the C runtime and the Win32 calls.
int ErrnoFromWin32(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
      return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EBUSY;
    case ERROR_WRITE_PROTECT:
      return EROFS;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
      return EINVAL;
    default:
      return EIO;
  }
}

// The C runtime's stat fails on a directory named with a trailing
// separator ("C:\\faces\\"); only a root keeps its separator.
std::string StatName(const char* path) {
  std::string name(path);
  while (name.size() > 1 && (name.back() == '\\' || name.back() == '/') &&
         !(name.size() == 3 && name[1] == ':'))
    name.pop_back();
  return name;
}

}  // namespace

// Not _stati64: its times are 32 bits wide in the 32-bit build, and a file
// written after 2038 might not exist for it.
int StatPath(const char* path, bool* isDirectory) {
  if (FaultHit(kFaultProbe)) return ENOENT;
  DWORD attributes = GetFileAttributesA(StatName(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return ErrnoFromWin32(GetLastError());
  *isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  return 0;
}

namespace {

// A stream over a handle of ours; the handle is closed when none can be had.
FILE* StreamOf(HANDLE file, int flags, const char* mode) {
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), flags | _O_BINARY);
  FILE* stream = fd >= 0 ? _fdopen(fd, mode) : nullptr;
  if (stream != nullptr) return stream;
  if (fd >= 0) _close(fd);
  else CloseHandle(file);
  errno = ENOMEM;
  return nullptr;
}

// A security descriptor whose access list names the current user alone and
// takes nothing from the folder. Built once; null when the process cannot
// tell who it runs as.
SECURITY_DESCRIPTOR* PrivateDescriptor() {
  static bool tried = false;
  static SECURITY_DESCRIPTOR descriptor;
  static DWORD user[(sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE) / sizeof(DWORD) + 1];
  static DWORD acl[(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE) /
                       sizeof(DWORD) + 1];
  static bool built = false;
  if (tried) return built ? &descriptor : nullptr;
  tried = true;
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
  DWORD size = 0;
  bool known = GetTokenInformation(token, TokenUser, user, sizeof user, &size);
  CloseHandle(token);
  if (!known) return nullptr;
  PSID sid = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;
  PACL list = reinterpret_cast<PACL>(acl);
  built = InitializeAcl(list, sizeof acl, ACL_REVISION) &&
          AddAccessAllowedAce(list, ACL_REVISION, FILE_ALL_ACCESS, sid) &&
          InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
          SetSecurityDescriptorDacl(&descriptor, TRUE, list, FALSE) &&
          SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
  return built ? &descriptor : nullptr;
}

// Creates `path` exclusively for writing (with `both`, reading too), the
// current user's alone; where no such descriptor can be built, with the
// folder's rights as before.
FILE* OpenPrivate(const char* path, bool both) {
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, PrivateDescriptor(), FALSE};
  DWORD access = both ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE;
  auto create = [&] {
    return CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, &attributes, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  HANDLE file = create();
  DWORD code = file == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  if (code == ERROR_NOT_SUPPORTED || code == ERROR_INVALID_PARAMETER) {
    // A share that takes no access list at creation: the folder's rights.
    attributes.lpSecurityDescriptor = nullptr;
    file = create();
    code = file == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  }
  if (file == INVALID_HANDLE_VALUE) {
    errno = ErrnoFromWin32(code);
    return nullptr;
  }
  FILE* stream = both ? StreamOf(file, _O_RDWR, "w+b") : StreamOf(file, _O_WRONLY, "wb");
  if (stream == nullptr) DeleteFileA(path);  // made by us a moment ago, empty
  return stream;
}

FILE* OpenByMode(const char* path, const char* mode) {
  bool both = strchr(mode, '+') != nullptr;
  if (strchr(mode, 'x') != nullptr && strchr(mode, 'p') != nullptr) return OpenPrivate(path, both);
  if (strcmp(mode, "wb") == 0) {
    // A new file is created without truncating it: Wine truncates on every
    // "create always", and Linux then writes the whole file back from close,
    // a tenth of a second per 256 MiB.
    int fd = _open(path, _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
    FILE* stream = fd >= 0 ? _fdopen(fd, "wb") : nullptr;
    if (stream != nullptr) return stream;
    if (fd >= 0) _close(fd);
  }
  if (strchr(mode, 'x') == nullptr) return fopen(path, mode);
  // The older C runtimes do not know "x": create exclusively by hand.
  int fd = _open(path, _O_CREAT | _O_EXCL | (both ? _O_RDWR : _O_WRONLY) | _O_BINARY | _O_TRUNC,
                 _S_IREAD | _S_IWRITE);
  if (fd < 0) return nullptr;
  FILE* stream = _fdopen(fd, both ? "w+b" : "wb");
  if (stream == nullptr) _close(fd);
  return stream;
}

}  // namespace

// A new file gets the folder's rights: `permissions` are POSIX's.
FILE* OpenFile(const char* path, const char* mode, unsigned) {
  if (FaultHit(kFaultOpen)) return nullptr;
  SetLastError(0);  // what RuntimeErrno asks comes from this open
  FILE* stream = OpenByMode(path, mode);
  if (stream == nullptr) errno = RuntimeErrno();
  return stream;
}

namespace {

// A question to the file system, under Wine partly through another process:
// asked once at the open and once before the rewrite.
bool StateOf(HANDLE file, FileState* state) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return false;
  state->volume = info.dwVolumeSerialNumber;
  state->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  state->size = GetFileType(file) != FILE_TYPE_DISK
                    ? -1
                    : static_cast<int64_t>((static_cast<uint64_t>(info.nFileSizeHigh) << 32) |
                                           info.nFileSizeLow);
  state->modified = static_cast<int64_t>(
      (static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
      info.ftLastWriteTime.dwLowDateTime);
  return true;
}

// The state of the file (or, with `flags` FILE_FLAG_BACKUP_SEMANTICS, the
// folder) `path` names, opened for no access so that nobody is kept out.
bool StateOfPath(const char* path, DWORD flags, FileState* state) {
  HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, flags, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool known = StateOf(file, state);
  CloseHandle(file);
  return known;
}

// Opens `path` with `access` and `sharing`; another program's open that
// conflicts is waited out about two seconds in steps (EBUSY then).
// INVALID_HANDLE_VALUE with errno set when it cannot be opened.
HANDLE OpenWaiting(const char* path, DWORD access, DWORD sharing) {
  for (int attempt = 0;; ++attempt) {
    HANDLE file = CreateFileA(path, access, sharing, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) return file;
    DWORD code = GetLastError();
    unsigned pause = code == ERROR_SHARING_VIOLATION ? WaitPauseMs(attempt) : 0;
    if (pause == 0) {
      errno = code == ERROR_SHARING_VIOLATION ? EBUSY : ErrnoFromWin32(code);
      return INVALID_HANDLE_VALUE;
    }
    Sleep(pause);
  }
}

// 0 when `path` is a file on a disk, else ENODEV (or the errno of the
// failed question). Asked before the file is opened for its bytes: an open
// for reading and writing would take a port (COM1) from its other users.
// A name without data access reaches no bytes and keeps nobody out.
int OnlyDiskFile(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  // Windows opens no read-only file for writing; Wine run by root would.
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
    return EACCES;
  HANDLE probe = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
  if (probe == INVALID_HANDLE_VALUE) return ErrnoFromWin32(GetLastError());
  DWORD type = GetFileType(probe);
  CloseHandle(probe);
  return type == FILE_TYPE_DISK ? 0 : ENODEV;
}

}  // namespace

FILE* OpenHeld(const char* path, FileState* state, bool rewrite) {
  if (FaultHit(kFaultOpen)) return nullptr;
  // Opened as a file, a folder gives "access denied", which it is not.
  DWORD attributes = GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    errno = EISDIR;
    return nullptr;
  }
  if (rewrite) {
    int err = OnlyDiskFile(path);
    if (err != 0) {
      errno = err;
      return nullptr;
    }
  }
  // No write sharing: a program that opens it for writing fails at once,
  // before it has written anything; readers may go on. Read alone, it may
  // also be moved away meanwhile: the run does not mind.
  HANDLE file = rewrite ? OpenWaiting(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ)
                        : OpenWaiting(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  int err = StateOf(file, state) ? 0 : ErrnoFromWin32(GetLastError());
  if (err == 0 && rewrite && state->size < 0) err = ENODEV;  // swapped in meanwhile
  if (err != 0) {
    CloseHandle(file);
    errno = err;
    return nullptr;
  }
  return rewrite ? StreamOf(file, _O_RDWR, "r+b") : StreamOf(file, _O_RDONLY, "rb");
}

// Others may go on writing or removing it; an open that shares no reading
// is waited out.
FILE* OpenRegular(const char* path) {
  if (FaultHit(kFaultOpen)) return nullptr;
  HANDLE file =
      OpenWaiting(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    errno = ENODEV;
    return nullptr;
  }
  return StreamOf(file, _O_RDONLY, "rb");
}

// Nothing to release: Windows' locks are the share modes of the handle,
// gone with the stream.
void ReleaseHeld(FILE*) {}

int HoldAlone(FILE** stream, const char* path) {
  // The held handle's own sharing would refuse the new one: it is closed
  // first, and stays closed also when no new stream comes. A deliverer
  // that gets in between is seen by the caller's StillAsOpened.
  fclose(*stream);
  *stream = nullptr;
  HANDLE file = OpenWaiting(path, GENERIC_READ | GENERIC_WRITE, 0);
  if (file == INVALID_HANDLE_VALUE) return errno;
  *stream = StreamOf(file, _O_RDWR, "r+b");
  return *stream != nullptr ? 0 : errno;
}

namespace {

HANDLE HandleOf(FILE* stream) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

// Positioned reads and writes move the handle's file pointer, which is the
// stream's position: it is kept and set back, with the stream locked
// meanwhile so that its own reads in another thread neither move it nor
// start from the wrong place. They seek and then read or write plainly:
// Wine serves a read at an OVERLAPPED offset through its server, at
// three to four times the cost.
class cKeptPosition {
 public:
  explicit cKeptPosition(FILE* stream) : stream_(stream), file_(HandleOf(stream)) {
    _lock_file(stream_);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    kept_ = file_ != INVALID_HANDLE_VALUE && SetFilePointerEx(file_, zero, &at_, FILE_CURRENT);
    err_ = kept_ ? 0 : file_ == INVALID_HANDLE_VALUE ? EBADF : ErrnoFromWin32(GetLastError());
  }
  ~cKeptPosition() {
    if (kept_) SetFilePointerEx(file_, at_, nullptr, FILE_BEGIN);
    _unlock_file(stream_);
  }
  cKeptPosition(const cKeptPosition&) = delete;
  cKeptPosition& operator=(const cKeptPosition&) = delete;

  HANDLE file() const { return file_; }
  // 0 with the handle at `offset`, else the errno of what failed.
  int Seek(int64_t offset) {
    if (err_ != 0) return err_;
    LARGE_INTEGER to;
    to.QuadPart = offset;
    return SetFilePointerEx(file_, to, nullptr, FILE_BEGIN) ? 0 : ErrnoFromWin32(GetLastError());
  }

 private:
  FILE* stream_;
  HANDLE file_;
  LARGE_INTEGER at_;
  bool kept_;
  int err_;
};

// One system call moves at most this many bytes: a DWORD counts them.
const size_t kMaxPiece = 1u << 30;

}  // namespace

int64_t ReadAt(FILE* stream, int64_t offset, void* bytes, size_t size) {
  cKeptPosition kept(stream);
  int err = kept.Seek(offset);
  if (err != 0) {
    errno = err;
    return -1;
  }
  size_t got = 0;
  while (got < size) {
    DWORD piece = static_cast<DWORD>(size - got < kMaxPiece ? size - got : kMaxPiece);
    DWORD n = 0;
    if (!ReadFile(kept.file(), static_cast<char*>(bytes) + got, piece, &n, nullptr)) {
      errno = ErrnoFromWin32(GetLastError());
      return -1;
    }
    if (n == 0) break;
    got += n;
  }
  return static_cast<int64_t>(got);
}

int WriteAt(FILE* stream, int64_t offset, const void* bytes, size_t size) {
  if (FaultHit(kFaultWrite)) return errno;
  cKeptPosition kept(stream);
  int err = kept.Seek(offset);
  if (err != 0) return err;
  for (size_t done = 0; done < size;) {
    DWORD piece = static_cast<DWORD>(size - done < kMaxPiece ? size - done : kMaxPiece);
    DWORD n = 0;
    if (!WriteFile(kept.file(), static_cast<const char*>(bytes) + done, piece, &n, nullptr))
      return ErrnoFromWin32(GetLastError());
    if (n == 0) return EIO;
    done += n;
  }
  return 0;
}

// SetEndOfFile gives a grown file its clusters at once (a full disk fails
// here, before a byte is overwritten); NTFS reads them as zeros.
int Resize(FILE* stream, int64_t size) {
  if (FaultHit(kFaultResize)) return errno;
  cKeptPosition kept(stream);
  int err = kept.Seek(size);
  if (err != 0) return err;
  return SetEndOfFile(kept.file()) ? 0 : ErrnoFromWin32(GetLastError());
}

namespace {

volatile LONG gInterrupted = 0;

BOOL WINAPI NoteInterrupt(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      // A second one ends the process at once; the journal covers it.
      return InterlockedExchange(&gInterrupted, 1) == 0;
    // Not CTRL_LOGOFF_EVENT: a service hears every user's logoff.
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // The process is ended when this returns: the run is given about four
      // seconds to end cleanly, and its exit ends this thread too.
      InterlockedExchange(&gInterrupted, 1);
      for (int i = 0; i < 40; ++i) Sleep(100);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

void CatchInterrupts() {
  InterlockedExchange(&gInterrupted, 0);  // a new run (tests run many in one process)
  SetConsoleCtrlHandler(NoteInterrupt, TRUE);
}

bool Interrupted() { return gInterrupted != 0; }

bool StillAsOpened(const char* path, const FileState& state) {
  if (state.size < 0) return true;
  FileState now;
  return StateOfPath(path, 0, &now) && now.volume == state.volume && now.index == state.index &&
         now.size == state.size && now.modified == state.modified;
}

int64_t Tell(FILE* stream) { return _ftelli64(stream); }

// Not _fstati64: it asks for the volume too, which Wine answers through
// another process, a cost of milliseconds on every run.
int64_t RegularFileSize(FILE* stream) {
  HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  LARGE_INTEGER size;
  if (file == INVALID_HANDLE_VALUE || GetFileType(file) != FILE_TYPE_DISK ||
      !GetFileSizeEx(file, &size))
    return -1;
  return static_cast<int64_t>(size.QuadPart);
}

int TruncateTo(FILE* stream, int64_t size) {
  if (Flush(stream) != 0) return errno;
  int fd = _fileno(stream);
  if (_lseeki64(fd, size, SEEK_SET) < 0) return errno;
  if (!SetEndOfFile(reinterpret_cast<HANDLE>(_get_osfhandle(fd))))
    return ErrnoFromWin32(GetLastError());
  return 0;
}

int SetBinaryMode(FILE* stream) {
  fflush(stream);
  return _setmode(_fileno(stream), _O_BINARY) == -1 ? -1 : 0;
}

int Sync(FILE* stream) {
  if (Flush(stream) != 0) return errno;
  if (FaultHit(kFaultSync)) return errno;
  if (_commit(_fileno(stream)) != 0) return errno;
  return 0;
}

int RemoveFile(const char* path) { return remove(path) == 0 ? 0 : errno; }

bool IsOwnPrivateFile(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    errno = ErrnoFromWin32(GetLastError());
    return false;
  }
  if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
    errno = EPERM;
    return false;
  }
  return true;
}

// Windows starts writing cached pages soon anyway.
void StartWriteback(FILE*, int64_t, int64_t) {}

// No dotlock here; the journal lies beside the name, spelt long, so that a
// short 8.3 name finds the same one.
std::string FinalName(const char* path) {
  char name[MAX_PATH];
  DWORD size = GetLongPathNameA(path, name, sizeof name);
  return size > 0 && size < sizeof name ? std::string(name, size) : std::string(path);
}

// The directory entry of the journal, made or removed, is forced out here,
// which FAT needs (NTFS journals it).
void SyncDirectoryOf(const char* path) {
  if (FaultHit(kFaultDirSync)) return;
  std::string dir = DirectoryOf(path);
  if (dir.empty()) dir = ".";
  HANDLE handle = CreateFileA(dir.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return;
  FlushFileBuffers(handle);  // the entry is made or gone either way
  CloseHandle(handle);
}

int SameFile(const char* a, const char* b, bool* same) {
  *same = false;
  // Both are opened before either is asked: the question goes to the
  // volume, under Wine through another process, and a new output (the
  // usual case) does not exist yet.
  HANDLE h[2];
  const char* names[2] = {a, b};
  DWORD code = 0;
  for (int i = 0; i < 2; ++i) {
    h[i] = CreateFileA(names[i], 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h[i] == INVALID_HANDLE_VALUE && code == 0) code = GetLastError();
  }
  BY_HANDLE_FILE_INFORMATION info[2];
  for (int i = 0; i < 2 && code == 0; ++i)
    if (!GetFileInformationByHandle(h[i], &info[i])) code = GetLastError();
  for (HANDLE handle : h)
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  if (code != 0) return ErrnoFromWin32(code);
  *same = info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
          info[0].nFileIndexHigh == info[1].nFileIndexHigh &&
          info[0].nFileIndexLow == info[1].nFileIndexLow;
  return 0;
}

std::string DirectoryOf(const char* path) {
  size_t size = 0;
  for (size_t i = 0; path[i] != '\0'; ++i) {
    if (path[i] == '\\' || path[i] == '/' || path[i] == ':') size = i + 1;
  }
  return std::string(path, size);
}

// Worded as Windows words them, so that a user can look them up.
const char* ErrorText(int err) {
  switch (err) {
    case ENOENT:
      return "Das System kann die angegebene Datei nicht finden";
    case EACCES:
    case EPERM:
      return "Zugriff verweigert";
    case EROFS:
      return "Der Datentraeger ist schreibgeschuetzt";
    case EISDIR:
      return "Das ist ein Ordner, keine Datei";
    case EBUSY:
      return "Der Prozess kann nicht auf die Datei zugreifen, da sie von einem anderen Prozess "
             "verwendet wird";
    case ENOSPC:
      return "Es steht nicht genug Speicherplatz auf dem Datentraeger zur Verfuegung";
    case ENAMETOOLONG:
      return "Der Dateiname oder die Erweiterung ist zu lang";
    case EIO:
      return "Die Anforderung konnte wegen eines E/A-Geraetefehlers nicht ausgefuehrt werden";
    default:
      return strerror(err);
  }
}

int RuntimeErrno() {
  int err = errno;
  // The C runtime knows ERROR_DISK_FULL, not always ERROR_HANDLE_DISK_FULL
  // (Wine's gives EINVAL), and takes a file held by another program for
  // one closed to the user.
  switch (GetLastError()) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return err == EACCES ? EBUSY : err;
    case ERROR_WRITE_PROTECT:
      return err == EACCES ? EROFS : err;
    case ERROR_FILENAME_EXCED_RANGE:
      return err == ENOENT || err == EINVAL ? ENAMETOOLONG : err;
    case ERROR_SUCCESS:
      return err;
    default:
      // A Win32 call sets no errno.
      return err != 0 ? err : ErrnoFromWin32(GetLastError());
  }
}

namespace {

// Whether standard output and error are consoles: asked once each, and only
// for a text that needs it (each question is a call to Wine's server).
int gConsole[2] = {-1, -1};

HANDLE ConsoleOf(FILE* stream) {
  int which = stream == stdout ? 0 : stream == stderr ? 1 : -1;
  if (which < 0) return nullptr;
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  if (gConsole[which] < 0) {
    DWORD mode;
    gConsole[which] = handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_CHAR &&
                      GetConsoleMode(handle, &mode);
  }
  return gConsole[which] == 1 ? handle : nullptr;
}

}  // namespace

// Names are in the ANSI code page (1252 in Germany), a console shows its
// own (850): "p\xF6st" would appear as "p\xF7st". The console is given the
// characters themselves, which it shows in its code page; Wine's C runtime
// would not convert bytes for it either.
bool WriteText(FILE* stream, const char* text, size_t size) {
  size_t ascii = 0;
  while (ascii < size && static_cast<unsigned char>(text[ascii]) < 0x80) ++ascii;
  HANDLE console = ascii < size && size < 0x7FFFFFFF ? ConsoleOf(stream) : nullptr;
  if (console != nullptr) {
    int count = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(size), nullptr, 0);
    std::wstring wide(count > 0 ? static_cast<size_t>(count) : 0, L'\0');
    if (count > 0 &&
        MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(size), &wide[0], count) == count &&
        fflush(stream) == 0) {
      // A console may take fewer characters than asked, and before Windows
      // 8 refuses large writes: in pieces until all are out.
      DWORD written = 0;
      for (int done = 0; done < count; done += static_cast<int>(written)) {
        DWORD piece = static_cast<DWORD>(count - done < 8192 ? count - done : 8192);
        if (!WriteConsoleW(console, wide.data() + done, piece, &written, nullptr) || written == 0)
          return false;
      }
      return true;
    }
  }
  return fwrite(text, 1, size, stream) == size;
}

typedef void(WINAPI* PreciseTimeFn)(LPFILETIME);

int64_t NowMicroseconds() {
  int64_t seconds;
  if (ClockSet(&seconds)) return seconds * 1000000;
  // To the microsecond from Windows 8 on; looked up at run time, so that XP
  // (steps of about 16 ms) still loads kivex.exe.
  static const PreciseTimeFn precise = reinterpret_cast<PreciseTimeFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetSystemTimePreciseAsFileTime")));
  FILETIME now;
  if (precise != nullptr) precise(&now);
  else GetSystemTimeAsFileTime(&now);
  // Steps of 100 nanoseconds since 1601.
  uint64_t steps = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return static_cast<int64_t>(steps / 10) - INT64_C(11644473600000000);
}

// The 64-bit call: the C runtime's localtime of 32-bit Windows ends in 2038.
bool LocalTime(int64_t seconds, struct tm* local) {
  __time64_t t = seconds;
  struct tm* broken = _localtime64(&t);
  if (broken == nullptr) return false;
  *local = *broken;
  return true;
}

uint32_t ProcessId() { return GetCurrentProcessId(); }

struct cDirListing::Impl {
  HANDLE find = INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAA data;
  bool pending = false;  // FindFirstFileA has delivered an entry not yet taken
};

cDirListing::cDirListing() : impl_(new Impl) {}

cDirListing::~cDirListing() {
  if (impl_->find != INVALID_HANDLE_VALUE) FindClose(impl_->find);
  delete impl_;
}

bool cDirListing::Start(const char* dir) {
  std::string pattern(dir);
  pattern += "*.*";
  impl_->find = FindFirstFileA(pattern.c_str(), &impl_->data);
  impl_->pending = impl_->find != INVALID_HANDLE_VALUE;
  return impl_->pending;
}

const char* cDirListing::Next() {
  if (impl_->find == INVALID_HANDLE_VALUE) return nullptr;
  if (impl_->pending) {
    impl_->pending = false;
    return impl_->data.cFileName;
  }
  if (!FindNextFileA(impl_->find, &impl_->data)) return nullptr;
  return impl_->data.cFileName;
}

// Each event operation is a call to Wine's server: the end of a job is
// signalled only when the caller already waits for it. Where the system
// can wait on an address (Windows 8 on, and Wine), the two threads wake
// each other without any kernel object.
enum { kIdle, kRunning, kWaiting };

typedef BOOL(WINAPI* WaitOnAddressFn)(volatile void*, void*, SIZE_T, DWORD);
typedef void(WINAPI* WakeByAddressFn)(void*);

struct cWorker::Impl {
  HANDLE thread = nullptr;
  HANDLE start = nullptr;  // set when a job (or the end) is handed over
  HANDLE done = nullptr;   // set when a job ends that the caller waits for
  volatile LONG state = kIdle;
  volatile LONG posted = 0;  // jobs handed over (the end counts as one)
  void (*job)(void*) = nullptr;
  void* arg = nullptr;
  bool quit = false;
  WaitOnAddressFn waitOn = nullptr;
  WakeByAddressFn wake = nullptr;
};

namespace {

void FindAddressWaits(cWorker::Impl* w) {
  HMODULE base = GetModuleHandleA("kernelbase.dll");
  if (base == nullptr) return;
  w->waitOn = reinterpret_cast<WaitOnAddressFn>(
      reinterpret_cast<void*>(GetProcAddress(base, "WaitOnAddress")));
  w->wake = reinterpret_cast<WakeByAddressFn>(
      reinterpret_cast<void*>(GetProcAddress(base, "WakeByAddressSingle")));
  if (w->waitOn == nullptr || w->wake == nullptr) w->waitOn = nullptr;
}

// Waits while *at holds `value`.
void WaitWhile(cWorker::Impl* w, volatile LONG* at, LONG value, HANDLE event) {
  if (w->waitOn == nullptr) {
    WaitForSingleObject(event, INFINITE);
    return;
  }
  while (*at == value) w->waitOn(at, &value, sizeof value, INFINITE);
}

void Wake(cWorker::Impl* w, volatile LONG* at, HANDLE event) {
  if (w->waitOn == nullptr) SetEvent(event);
  else w->wake(const_cast<LONG*>(at));
}

unsigned __stdcall RunJobs(void* state) {
  cWorker::Impl* w = static_cast<cWorker::Impl*>(state);
  for (LONG seen = 0;; ++seen) {
    WaitWhile(w, &w->posted, seen, w->start);
    if (w->quit) return 0;
    w->job(w->arg);
    if (InterlockedExchange(&w->state, kIdle) == kWaiting) Wake(w, &w->state, w->done);
  }
}

}  // namespace

cWorker::cWorker(bool eventsOnly) : impl_(nullptr), eventsOnly_(eventsOnly) {}

cWorker::~cWorker() {
  if (impl_ == nullptr) return;
  if (impl_->thread != nullptr) {
    Wait();
    impl_->quit = true;
    InterlockedIncrement(&impl_->posted);
    Wake(impl_, &impl_->posted, impl_->start);
    WaitForSingleObject(impl_->thread, INFINITE);
    CloseHandle(impl_->thread);
  }
  if (impl_->start != nullptr) CloseHandle(impl_->start);
  if (impl_->done != nullptr) CloseHandle(impl_->done);
  delete impl_;
}

void cWorker::Post(void (*job)(void*), void* arg) {
  if (impl_ == nullptr) {
    impl_ = new (std::nothrow) Impl;
    if (impl_ != nullptr) {
      if (!eventsOnly_) FindAddressWaits(impl_);
      impl_->start = CreateEventA(nullptr, FALSE, FALSE, nullptr);
      impl_->done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
      if (impl_->start != nullptr && impl_->done != nullptr)
        impl_->thread =
            reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, RunJobs, impl_, 0, nullptr));
    }
  }
  if (impl_ == nullptr || impl_->thread == nullptr) {
    job(arg);
    return;
  }
  Wait();
  impl_->job = job;
  impl_->arg = arg;
  InterlockedExchange(&impl_->state, kRunning);
  InterlockedIncrement(&impl_->posted);
  Wake(impl_, &impl_->posted, impl_->start);
}

void cWorker::Wait() {
  if (impl_ == nullptr || impl_->thread == nullptr) return;
  // Running becomes waiting unless the job has ended (idle) already.
  if (InterlockedCompareExchange(&impl_->state, kWaiting, kRunning) == kRunning)
    WaitWhile(impl_, &impl_->state, kWaiting, impl_->done);
}

}  // namespace platform
