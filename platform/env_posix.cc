#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/env.h"
#include "platform/fault.h"

namespace platform {

const char kSeparator = '/';

bool IsFlagChar(char c) { return c == '-'; }

int StatPath(const char* path, bool* isDirectory) {
  struct stat st;
  if (stat(path, &st) != 0) return errno;
  *isDirectory = S_ISDIR(st.st_mode);
  return 0;
}

FILE* OpenFile(const char* path, const char* mode) {
  if (FaultHit(kFaultOpen)) return nullptr;
  return fopen(path, mode);  // glibc knows the 'x' flag
}

int64_t Tell(FILE* stream) { return static_cast<int64_t>(ftello(stream)); }

// Files have no text mode here.
int SetBinaryMode(FILE*) { return 0; }

int Sync(FILE* stream) {
  if (Flush(stream) != 0) return errno;
  if (FaultHit(kFaultSync)) return errno;
  if (fsync(fileno(stream)) != 0) return errno;
  return 0;
}

int RemoveFile(const char* path) { return remove(path) == 0 ? 0 : errno; }

int ReplaceFile(const char* from, const char* to) {
  if (FaultHit(kFaultRename)) return errno;
  return rename(from, to) == 0 ? 0 : errno;
}

int CopyPermissions(const char* from, const char* to) {
  struct stat st;
  if (stat(from, &st) != 0) return errno;
  return chmod(to, st.st_mode & 07777) == 0 ? 0 : errno;
}

void SyncDirectoryOf(const char* path) {
  std::string dir(path);
  size_t slash = dir.rfind('/');
  dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : dir.substr(0, slash));
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

}  // namespace platform
