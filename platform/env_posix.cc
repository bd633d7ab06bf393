#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <time.h>
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

FILE* OpenFile(const char* path, const char* mode) {
  if (FaultHit(kFaultOpen)) return nullptr;
  if (strchr(mode, 'x') == nullptr) return fopen(path, mode);
  // A private file never has a moment in which others could open it.
  mode_t bits = strchr(mode, 'p') != nullptr ? 0600 : 0666;
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, bits);
  if (fd < 0) return nullptr;
  FILE* stream = fdopen(fd, "wb");
  if (stream == nullptr) close(fd);
  return stream;
}

const bool kReplacesOpenFile = true;

namespace {

FileState StateOf(const struct stat& st) {
  FileState state;
  state.volume = static_cast<uint64_t>(st.st_dev);
  state.index = static_cast<uint64_t>(st.st_ino);
  if (S_ISREG(st.st_mode)) state.size = static_cast<int64_t>(st.st_size);
  state.modified = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return state;
}

// 0, or the errno of the refused lock.
int LockForReading(int fd) {
  struct flock lock;
  memset(&lock, 0, sizeof lock);
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;  // start 0, length 0: the whole file, however it grows
#ifdef F_OFD_SETLK
  // A lock of this descriptor alone: no other close in the process drops it.
  if (fcntl(fd, F_OFD_SETLK, &lock) == 0) return 0;
  if (errno != EINVAL) return errno;
#endif
  return fcntl(fd, F_SETLK, &lock) == 0 ? 0 : errno;
}

}  // namespace

FILE* OpenHeld(const char* path, FileState* state) {
  if (FaultHit(kFaultOpen)) return nullptr;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  int err = fstat(fd, &st) == 0 ? 0 : errno;
  for (int attempt = 0; err == 0 && S_ISREG(st.st_mode); ++attempt) {
    int refused = LockForReading(fd);
    // Held; or a file system without locks, where the check before the
    // replacement still guards.
    if (refused != EAGAIN && refused != EACCES) break;
    unsigned pause = WaitPauseMs(attempt);
    if (pause == 0) err = EBUSY;
    struct timespec wait = {0, static_cast<long>(pause) * 1000000};
    nanosleep(&wait, nullptr);
  }
  // Taken once the lock is held: a writer just done has finished its change.
  if (err == 0 && fstat(fd, &st) != 0) err = errno;
  FILE* stream = err == 0 ? fdopen(fd, "rb") : nullptr;
  if (stream == nullptr) {
    if (err == 0) err = errno;
    close(fd);
    errno = err;
    return nullptr;
  }
  *state = StateOf(st);
  return stream;
}

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

int ReplaceFile(const char* from, const char* to, const FileState*) {
  if (FaultHit(kFaultRename) || HalfReplaceHit(to)) return errno;
  return rename(from, to) == 0 ? 0 : errno;
}

bool OnOneVolume(const char* a, const char* b) {
  struct stat sa, sb;
  return stat(a, &sa) != 0 || stat(b, &sb) != 0 || sa.st_dev == sb.st_dev;
}

int CopyAccess(const char* from, const char* to) {
  if (FaultHit(kFaultAccess)) return errno;
  struct stat st;
  if (stat(from, &st) != 0) return errno;
  mode_t mode = st.st_mode & 07777;
  // Only root may give a file away; others may still pass on a group of theirs.
  if (chown(to, st.st_uid, st.st_gid) != 0) {
    struct stat now;
    if (stat(to, &now) != 0) return errno;
    if (now.st_uid != st.st_uid) mode &= ~static_cast<mode_t>(S_ISUID);
    if (now.st_gid != st.st_gid && chown(to, static_cast<uid_t>(-1), st.st_gid) != 0)
      mode &= ~static_cast<mode_t>(S_ISGID | S_IRWXG);  // the rights were the input group's
  }
  // After chown, which may clear the set-id bits.
  return chmod(to, mode) == 0 ? 0 : errno;
}

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
  (void)fsync(fd);  // the rename is complete either way; this only hastens it
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

const char* ErrorText(int err) { return strerror(err); }

// A terminal shows the bytes as they are.
bool WriteText(FILE* stream, const char* text, size_t size) {
  return fwrite(text, 1, size, stream) == size;
}

bool LocalTime(int64_t seconds, struct tm* local) {
  time_t t = static_cast<time_t>(seconds);
  return static_cast<int64_t>(t) == seconds && localtime_r(&t, local) != nullptr;
}

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
