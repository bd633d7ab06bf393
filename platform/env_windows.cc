#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <windows.h>
// windows.h maps ReplaceFile to ReplaceFileA; ours is a different call.
#undef ReplaceFile

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
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
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

int StatPath(const char* path, bool* isDirectory) {
  if (FaultHit(kFaultProbe)) return ENOENT;
  struct _stati64 st;
  if (_stati64(StatName(path).c_str(), &st) != 0) return errno;
  *isDirectory = (st.st_mode & _S_IFDIR) != 0;
  return 0;
}

FILE* OpenFile(const char* path, const char* mode) {
  if (FaultHit(kFaultOpen)) return nullptr;
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
  int fd = _open(path, _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY | _O_TRUNC,
                 _S_IREAD | _S_IWRITE);
  if (fd < 0) return nullptr;
  FILE* stream = _fdopen(fd, "wb");
  if (stream == nullptr) _close(fd);
  return stream;
}

const bool kReplacesOpenFile = false;

namespace {

// A question to the file system, under Wine partly through another process:
// asked once at the open and once before the replacement.
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

}  // namespace

FILE* OpenHeld(const char* path, FileState* state) {
  if (FaultHit(kFaultOpen)) return nullptr;
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; file == INVALID_HANDLE_VALUE; ++attempt) {
    // No write sharing: a program that opens it for writing fails at once,
    // before it has written anything. Delete sharing lets it be replaced.
    file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) break;
    DWORD code = GetLastError();
    unsigned pause = code == ERROR_SHARING_VIOLATION ? WaitPauseMs(attempt) : 0;
    if (pause == 0) {
      errno = code == ERROR_SHARING_VIOLATION ? EBUSY : ErrnoFromWin32(code);
      return nullptr;
    }
    Sleep(pause);
  }
  FileState held;
  int fd = StateOf(file, &held)
               ? _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDONLY | _O_BINARY)
               : -1;
  if (fd < 0) {
    int err = ErrnoFromWin32(GetLastError());
    CloseHandle(file);
    errno = err;
    return nullptr;
  }
  FILE* stream = _fdopen(fd, "rb");
  if (stream == nullptr) {
    _close(fd);
    return nullptr;
  }
  *state = held;
  return stream;
}

bool StillAsOpened(const char* path, const FileState& state) {
  if (state.size < 0) return true;
  HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  FileState now;
  bool known = StateOf(file, &now);
  CloseHandle(file);
  return known && now.volume == state.volume && now.index == state.index &&
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

namespace {

// Another process holds the file for a moment: a virus scanner or the search
// indexer opening what was just written.
bool Busy(DWORD code) {
  return code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED ||
         code == ERROR_LOCK_VIOLATION || code == ERROR_UNABLE_TO_REMOVE_REPLACED;
}

// The serial number of the volume that holds `path`; 0 when unknown.
DWORD VolumeOf(const char* path) {
  HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 0;
  BY_HANDLE_FILE_INFORMATION info;
  DWORD serial = GetFileInformationByHandle(h, &info) ? info.dwVolumeSerialNumber : 0;
  CloseHandle(h);
  return serial;
}

// Full names: Wine's ReplaceFileA refuses relative ones.
std::string FullName(const char* path) {
  char full[MAX_PATH * 2];
  DWORD size = GetFullPathNameA(path, sizeof full, full, nullptr);
  return size > 0 && size < sizeof full ? std::string(full, size) : std::string(path);
}

// One try. ReplaceFileA keeps the replaced file's security descriptor and
// attributes (a buffer in a shared folder stays open to the mail service);
// MoveFileExA, which gives the target those of the temporary file, serves
// where nothing is there to replace or the volumes differ.
DWORD ReplaceOnce(const char* from, const char* to) {
  DWORD volume = VolumeOf(to);
  if (volume != 0 && volume == VolumeOf(from)) {
    if (ReplaceFileA(FullName(to).c_str(), FullName(from).c_str(), nullptr,
                     REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr))
      return 0;
    DWORD code = GetLastError();
    if (Busy(code)) return code;
  }
  if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 0;
  return GetLastError();
}

}  // namespace

int ReplaceFile(const char* from, const char* to) {
  // About two seconds in growing steps, then the failure is reported.
  static const DWORD kPausesMs[] = {1, 10, 20, 40, 80, 160, 250, 250, 250, 250, 250, 250, 250};
  const size_t kTries = sizeof kPausesMs / sizeof kPausesMs[0] + 1;
  if (FaultHit(kFaultRename)) return errno;
  DWORD code = 0;
  for (size_t i = 0; i < kTries; ++i) {
    if (i > 0) Sleep(kPausesMs[i - 1]);
    code = ReplaceOnce(from, to);
    if (code == 0 || !Busy(code)) break;
  }
  return code == 0 ? 0 : ErrnoFromWin32(code);
}

// ReplaceFileA keeps the replaced file's security and attributes, but not
// every file system or emulation honours that: give them to the new file
// before, so the move that may follow keeps them too.
int CopyAccess(const char* from, const char* to) {
  DWORD attributes = GetFileAttributesA(from);
  if (attributes == INVALID_FILE_ATTRIBUTES) return ErrnoFromWin32(GetLastError());
  const DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  SetFileAttributesA(to, attributes & kKept);
  // The owner may be set only with a privilege; the access list always.
  const SECURITY_INFORMATION kParts[] = {
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
      DACL_SECURITY_INFORMATION};
  for (SECURITY_INFORMATION what : kParts) {
    DWORD size = 0;
    GetFileSecurityA(from, what, nullptr, 0, &size);
    if (size == 0) return 0;
    std::string descriptor(size, '\0');
    if (GetFileSecurityA(from, what, &descriptor[0], size, &size) &&
        SetFileSecurityA(to, what, &descriptor[0]))
      return 0;
  }
  return 0;
}

// Windows XP has no symbolic links to files.
std::string FinalName(const char* path) { return path; }

// MOVEFILE_WRITE_THROUGH has already made the rename durable; noted for
// the tests, which see the same steps on both systems.
void SyncDirectoryOf(const char*) { (void)FaultHit(kFaultDirSync); }

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

const char* ErrorText(int err) { return strerror(err); }

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
