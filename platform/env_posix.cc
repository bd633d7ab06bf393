#include <dirent.h>
#include <fcntl.h>
#include <lockfile.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "platform/env.h"
#include "platform/fault.h"

namespace platform {

const char kSeparator = '/';

bool IsFlagChar(char c) { return c == '-'; }

int StatPath(const char* path, bool* isDirectory) {
  if (FaultHit(kFaultProbe)) return ENOENT;
  struct stat st;
  if (stat(path, &st) != 0) return errno;
  *isDirectory = S_ISDIR(st.st_mode);
  return 0;
}

FILE* OpenFile(const char* path, const char* mode, unsigned permissions) {
  if (FaultHit(kFaultOpen)) return nullptr;
  if (mode[0] != 'w') return fopen(path, mode);
  // The rights given at the creation: a private file never has a moment in
  // which others could open it.
  mode_t bits = strchr(mode, 'p') != nullptr ? 0600 : static_cast<mode_t>(permissions & 0777);
  bool both = strchr(mode, '+') != nullptr;
  int flags = strchr(mode, 'x') != nullptr ? O_CREAT | O_EXCL : O_CREAT | O_TRUNC;
  int fd = open(path, (both ? O_RDWR : O_WRONLY) | flags | O_CLOEXEC, bits);
  if (fd < 0) return nullptr;
  FILE* stream = fdopen(fd, both ? "w+b" : "wb");
  if (stream == nullptr) close(fd);
  return stream;
}

FILE* OpenRegular(const char* path) {
  if (FaultHit(kFaultOpen)) return nullptr;
  struct stat st;
  if (stat(path, &st) != 0) return nullptr;
  // A FIFO's open waits for a writer, a tape's rewinds: neither is opened.
  // One swapped in after the question does not wait either.
  int fd = -1, err = ENODEV;
  if (S_ISREG(st.st_mode)) {
    fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    err = fd < 0 || fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : ENODEV;
  }
  FILE* stream = err == 0 ? fdopen(fd, "rb") : nullptr;
  if (stream == nullptr) {
    if (err == 0) err = errno;
    if (fd >= 0) close(fd);
    errno = err;
  }
  return stream;
}

bool IsOwnPrivateFile(const char* path) {
  struct stat st;
  if (lstat(path, &st) != 0) return false;
  if (S_ISREG(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0 &&
      st.st_nlink == 1)
    return true;
  errno = EPERM;
  return false;
}

namespace {

FileState StateOf(const struct stat& st) {
  FileState state;
  state.volume = static_cast<uint64_t>(st.st_dev);
  state.index = static_cast<uint64_t>(st.st_ino);
  if (S_ISREG(st.st_mode)) state.size = static_cast<int64_t>(st.st_size);
  state.modified = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  state.permissions = st.st_mode & 0777;
  return state;
}

// 0, or the errno of the refused lock.
int LockWhole(int fd, short type) {
  struct flock lock;
  memset(&lock, 0, sizeof lock);
  lock.l_type = type;
  lock.l_whence = SEEK_SET;  // start 0, length 0: the whole file, however it grows
#ifdef F_OFD_SETLK
  // A lock of this descriptor alone: no other close in the process drops it.
  if (fcntl(fd, F_OFD_SETLK, &lock) == 0) return 0;
  if (errno != EINVAL) return errno;
#endif
  return fcntl(fd, F_SETLK, &lock) == 0 ? 0 : errno;
}

// The kernel locks a deliverer takes, flock and then fcntl. 0, or the errno
// of the refused lock. A file system that knows no flock (some network
// ones) still has the fcntl lock.
int LockForRewrite(int fd) {
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno != ENOLCK && errno != EINVAL &&
      errno != EOPNOTSUPP)
    return errno;
  return LockWhole(fd, F_WRLCK);
}

bool Refused(int err) { return err == EAGAIN || err == EACCES || err == EWOULDBLOCK; }

void Pause(unsigned ms) {
  struct timespec wait = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
  nanosleep(&wait, nullptr);
}

// The dotlock of the buffer held for a rewrite: removed when its stream closes.
FILE* gDotLocked = nullptr;
std::string gDotLock;

// Takes `path`.lock as the mail system's programs do, waiting for another
// holder about two seconds. 0 or errno (EBUSY: still held; ENOLCK: it
// cannot be made, as in a directory closed to us).
int TakeDotLock(const std::string& lock) {
  for (int attempt = 0;; ++attempt) {
    int result = lockfile_create(lock.c_str(), 0, L_PID);
    if (result == L_SUCCESS) return 0;
    if (result != L_MAXTRYS) return ENOLCK;
    unsigned pause = WaitPauseMs(attempt);
    if (pause == 0) return EBUSY;
    Pause(pause);
  }
}

}  // namespace

FILE* OpenHeld(const char* path, FileState* state, bool rewrite) {
  if (FaultHit(kFaultOpen)) return nullptr;
  struct stat st;
  std::string lock;
  if (rewrite) {
    // A device or pipe must not be locked or opened (a tape rewinds, a
    // pipe's writer waits): only a regular file can be rewritten.
    if (stat(path, &st) != 0) return nullptr;
    if (!S_ISREG(st.st_mode)) {
      errno = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
      return nullptr;
    }
    lock = std::string(path) + ".lock";
    int err = TakeDotLock(lock);
    if (err != 0) {
      errno = err;
      return nullptr;
    }
  }
  int fd = open(path, (rewrite ? O_RDWR | O_NONBLOCK | O_NOCTTY : O_RDONLY) | O_CLOEXEC);
  int err = fd < 0 ? errno : fstat(fd, &st) == 0 ? 0 : errno;
  if (err == 0 && rewrite && !S_ISREG(st.st_mode)) err = ENODEV;  // swapped in meanwhile
  if (err == 0 && S_ISDIR(st.st_mode)) err = EISDIR;  // opens, but reads fail
  if (err == 0 && rewrite) (void)fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  for (int attempt = 0; err == 0 && S_ISREG(st.st_mode); ++attempt) {
    int refused = rewrite ? LockForRewrite(fd) : LockWhole(fd, F_RDLCK);
    // Held; or a file system without locks, where the check before the
    // rewrite still guards.
    if (!Refused(refused)) break;
    unsigned pause = WaitPauseMs(attempt);
    if (pause == 0) err = EBUSY;
    Pause(pause);
  }
  // Taken once the lock is held: a writer just done has finished its change.
  if (err == 0 && fstat(fd, &st) != 0) err = errno;
  FILE* stream = err == 0 ? fdopen(fd, rewrite ? "r+b" : "rb") : nullptr;
  if (stream == nullptr) {
    if (err == 0) err = errno;
    if (fd >= 0) close(fd);
    if (rewrite) lockfile_remove(lock.c_str());
    errno = err;
    return nullptr;
  }
  if (rewrite) {
    gDotLocked = stream;
    gDotLock = lock;
  }
  *state = StateOf(st);
  return stream;
}

void ReleaseHeld(FILE* closed) {
  if (closed == nullptr || closed != gDotLocked) return;
  gDotLocked = nullptr;
  lockfile_remove(gDotLock.c_str());
}

int HoldAlone(FILE**, const char*) { return 0; }

int64_t ReadAt(FILE* stream, int64_t offset, void* bytes, size_t size) {
  size_t got = 0;
  while (got < size) {
    ssize_t n = pread(fileno(stream), static_cast<char*>(bytes) + got, size - got,
                      static_cast<off_t>(offset) + static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(got);
}

int WriteAt(FILE* stream, int64_t offset, const void* bytes, size_t size) {
  if (FaultHit(kFaultWrite)) return errno;
  for (size_t done = 0; done < size;) {
    ssize_t n = pwrite(fileno(stream), static_cast<const char*>(bytes) + done, size - done,
                       static_cast<off_t>(offset) + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    done += static_cast<size_t>(n);
  }
  return 0;
}

void StartWriteback(FILE* stream, int64_t offset, int64_t size) {
#ifdef SYNC_FILE_RANGE_WRITE
  (void)sync_file_range(fileno(stream), static_cast<off_t>(offset), static_cast<off_t>(size),
                        SYNC_FILE_RANGE_WRITE);
#else
  (void)stream, (void)offset, (void)size;
#endif
}

int Resize(FILE* stream, int64_t size) {
  if (FaultHit(kFaultResize)) return errno;
  int fd = fileno(stream);
  struct stat st;
  if (fstat(fd, &st) != 0) return errno;
  if (size > st.st_size) {
    // The room first: a full disk is met here, before a byte is overwritten,
    // not in the middle of the new bytes.
    int err = posix_fallocate(fd, st.st_size, static_cast<off_t>(size) - st.st_size);
    if (err == 0) return 0;
    if (err != EOPNOTSUPP && err != EINVAL) return err;
  }
  return ftruncate(fd, static_cast<off_t>(size)) == 0 ? 0 : errno;
}

namespace {
volatile sig_atomic_t gInterrupted = 0;
void NoteInterrupt(int) { gInterrupted = 1; }
}  // namespace

void CatchInterrupts() {
  gInterrupted = 0;  // a new run (tests run many in one process)
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = NoteInterrupt;
  sigemptyset(&action.sa_mask);
  // A second signal ends the process at once (a read that waits on a pipe
  // would never see the first); the journal covers it.
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &action, nullptr);
}

bool Interrupted() { return gInterrupted != 0; }

bool StillAsOpened(const char* path, const FileState& state) {
  if (state.size < 0) return true;
  struct stat st;
  if (stat(path, &st) != 0) return false;
  FileState now = StateOf(st);
  return now.volume == state.volume && now.index == state.index && now.size == state.size &&
         now.modified == state.modified;
}

int64_t Tell(FILE* stream) { return static_cast<int64_t>(ftello(stream)); }

int64_t RegularFileSize(FILE* stream) {
  struct stat st;
  if (fstat(fileno(stream), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_size);
}

int TruncateTo(FILE* stream, int64_t size) {
  if (Flush(stream) != 0) return errno;
  if (ftruncate(fileno(stream), static_cast<off_t>(size)) != 0) return errno;
  return fseeko(stream, static_cast<off_t>(size), SEEK_SET) == 0 ? 0 : errno;
}

// Files have no text mode here.
int SetBinaryMode(FILE*) { return 0; }

int Sync(FILE* stream) {
  if (Flush(stream) != 0) return errno;
  if (FaultHit(kFaultSync)) return errno;
  if (fsync(fileno(stream)) != 0) return errno;
  return 0;
}

int RemoveFile(const char* path) { return remove(path) == 0 ? 0 : errno; }

std::string FinalName(const char* path) {
  struct stat st;
  if (lstat(path, &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char* target = realpath(path, nullptr);
  if (target == nullptr) return path;
  std::string name(target);
  free(target);
  return name;
}

void SyncDirectoryOf(const char* path) {
  std::string dir(path);
  size_t slash = dir.rfind('/');
  dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : dir.substr(0, slash));
  if (FaultHit(kFaultDirSync)) return;
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return;
  (void)fsync(fd);  // the entry is made or gone either way; this only hastens it
  close(fd);
}

int SameFile(const char* a, const char* b, bool* same) {
  struct stat sa, sb;
  *same = false;
  if (stat(a, &sa) != 0) return errno;
  if (stat(b, &sb) != 0) return errno;
  *same = sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  return 0;
}

std::string DirectoryOf(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash == nullptr ? std::string() : std::string(path, slash + 1);
}

const char* ErrorText(int err) {
  switch (err) {
    case ENOENT:
      return "Datei oder Verzeichnis nicht gefunden";
    case EACCES:
    case EPERM:
      return "Keine Berechtigung";
    case EROFS:
      return "Dateisystem nur lesbar";
    case EISDIR:
      return "Ist ein Verzeichnis";
    case EBUSY:
    case ETXTBSY:
      return "Die Datei wird gerade von einem anderen Programm benutzt";
    case ENOSPC:
      return "Auf dem Geraet ist kein Speicherplatz mehr verfuegbar";
    case ENAMETOOLONG:
      return "Der Dateiname ist zu lang";
    case EIO:
      return "Eingabe-/Ausgabefehler";
    default:
      return strerror(err);
  }
}

int RuntimeErrno() { return errno; }

// A terminal shows the bytes as they are.
bool WriteText(FILE* stream, const char* text, size_t size) {
  return fwrite(text, 1, size, stream) == size;
}

int64_t NowMicroseconds() {
  int64_t seconds;
  if (ClockSet(&seconds)) return seconds * 1000000;
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

bool LocalTime(int64_t seconds, struct tm* local) {
  time_t t = static_cast<time_t>(seconds);
  return static_cast<int64_t>(t) == seconds && localtime_r(&t, local) != nullptr;
}

uint32_t ProcessId() { return static_cast<uint32_t>(getpid()); }

struct cDirListing::Impl {
  DIR* dir = nullptr;
};

cDirListing::cDirListing() : impl_(new Impl) {}

cDirListing::~cDirListing() {
  if (impl_->dir != nullptr) closedir(impl_->dir);
  delete impl_;
}

bool cDirListing::Start(const char* dir) {
  impl_->dir = opendir(dir);
  return impl_->dir != nullptr;
}

const char* cDirListing::Next() {
  if (impl_->dir == nullptr) return nullptr;
  struct dirent* entry = readdir(impl_->dir);
  return entry == nullptr ? nullptr : entry->d_name;
}

struct cWorker::Impl {
  pthread_t thread;
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
  void (*job)(void*) = nullptr;  // the job in hand; null when there is none
  void* arg = nullptr;
  bool quit = false;
  bool running = false;
};

namespace {

void* RunJobs(void* state) {
  cWorker::Impl* w = static_cast<cWorker::Impl*>(state);
  pthread_mutex_lock(&w->lock);
  for (;;) {
    while (w->job == nullptr && !w->quit) pthread_cond_wait(&w->changed, &w->lock);
    if (w->job == nullptr) break;
    void (*job)(void*) = w->job;
    void* arg = w->arg;
    pthread_mutex_unlock(&w->lock);
    job(arg);
    pthread_mutex_lock(&w->lock);
    w->job = nullptr;
    pthread_cond_broadcast(&w->changed);
  }
  pthread_mutex_unlock(&w->lock);
  return nullptr;
}

}  // namespace

cWorker::cWorker(bool eventsOnly) : impl_(nullptr), eventsOnly_(eventsOnly) {
  (void)eventsOnly_;  // one way of waiting here
}

cWorker::~cWorker() {
  if (impl_ == nullptr) return;
  if (impl_->running) {
    Wait();
    pthread_mutex_lock(&impl_->lock);
    impl_->quit = true;
    pthread_cond_broadcast(&impl_->changed);
    pthread_mutex_unlock(&impl_->lock);
    pthread_join(impl_->thread, nullptr);
  }
  delete impl_;
}

void cWorker::Post(void (*job)(void*), void* arg) {
  if (impl_ == nullptr) {
    impl_ = new (std::nothrow) Impl;
    if (impl_ != nullptr)
      impl_->running = pthread_create(&impl_->thread, nullptr, RunJobs, impl_) == 0;
  }
  if (impl_ == nullptr || !impl_->running) {
    job(arg);
    return;
  }
  pthread_mutex_lock(&impl_->lock);
  while (impl_->job != nullptr) pthread_cond_wait(&impl_->changed, &impl_->lock);
  impl_->job = job;
  impl_->arg = arg;
  pthread_cond_broadcast(&impl_->changed);
  pthread_mutex_unlock(&impl_->lock);
}

void cWorker::Wait() {
  if (impl_ == nullptr || !impl_->running) return;
  pthread_mutex_lock(&impl_->lock);
  while (impl_->job != nullptr) pthread_cond_wait(&impl_->changed, &impl_->lock);
  pthread_mutex_unlock(&impl_->lock);
}

}  // namespace platform
