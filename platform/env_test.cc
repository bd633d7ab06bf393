#include "platform/env.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <tuple>

#include "tests/test_util.h"

#ifndef _WIN32
#include <fcntl.h>
#include <lockfile.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#ifdef __linux__
#include <sys/syscall.h>

// Every fsync of the program passes here, so that a test sees the syncs
// themselves, which leave no other trace short of a crash.
namespace {
std::atomic<int> gFsyncs{0};
}  // namespace
extern "C" int fsync(int fd) {
  ++gFsyncs;
  return static_cast<int>(syscall(SYS_fsync, fd));
}
#endif

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <sddl.h>


#endif

// A pipe has no size to trust, on Windows too (regular files and streams
// cut back are shown by the runs and the block writer's test).
TEST(Platform, PipeHasNoSize) {
  int ends[2];
#ifdef _WIN32
  ASSERT_EQ(_pipe(ends, 4096, _O_BINARY), 0);
#else
  ASSERT_EQ(pipe(ends), 0);
#endif
  FILE* piped = fdopen(ends[0], "rb");
  ASSERT_NE(piped, nullptr);
  EXPECT_EQ(platform::RegularFileSize(piped), -1);  // a pipe has no size to trust
  fclose(piped);
  close(ends[1]);
}

// Whatever malloc gives, a block starts on a page and holds all its bytes.
TEST(Platform, BlocksStartOnAPage) {
  for (size_t size : {1, 100, 4096, 1 << 20}) {
    void* blocks[3];
    for (void*& block : blocks) {
      block = platform::AllocBlock(size);
      ASSERT_NE(block, nullptr);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 4096, 0u);
      memset(block, 'b', size);
    }
    for (void* block : blocks) platform::FreeBlock(block);
  }
  platform::FreeBlock(nullptr);
}

namespace {
// Two jobs at once would count one number twice: the count falls short.
void CountJob(void* state) {
  std::atomic<int>* done = static_cast<std::atomic<int>*>(state);
  int number = *done + 1;
  if (number % 100 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  *done = number;
}
}  // namespace

// Jobs run one after the other in the order handed over, and Wait returns
// only when the job in hand is done; on Windows both ways of waiting.
TEST(Platform, WorkerRunsJobsInOrderAndWaits) {
  for (bool eventsOnly : {false, true}) {
    std::atomic<int> done{0};
    {
      platform::cWorker worker(eventsOnly);
      for (int i = 1; i <= 1000; ++i) {
        worker.Post(CountJob, &done);
        if (i % 3 == 0) {
          worker.Wait();
          ASSERT_EQ(done, i) << eventsOnly;
        }
      }
    }  // the last job ends before the worker does
    EXPECT_EQ(done, 1000);
  }
}

namespace test {

#ifdef _WIN32
namespace {
std::string Dacl(const std::string& path) {
  DWORD size = 0;
  GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &size);
  std::string bytes(size, '\0');
  if (size == 0 || !GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, &bytes[0], size, &size))
    return "";
  return bytes;
}
}  // namespace

// No entry for everyone, the users or the administrators (Wine keeps no
// access list of a file and shows one made from its Linux permission bits).
bool OwnerOnly(const std::string& path) {
  std::string bytes = Dacl(path);
  char* text = nullptr;
  if (bytes.empty() || !ConvertSecurityDescriptorToStringSecurityDescriptorA(
                           &bytes[0], SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr))
    return false;
  bool alone = !std::regex_search(text, std::regex(";(WD|BU|AU|BA|IU)\\)"));
  LocalFree(text);
  return alone;
}

void MakeShared(const std::string& path) {
  PSECURITY_DESCRIPTOR shared;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;;FA;;;WD)", SDDL_REVISION_1,
                                                            &shared, nullptr))
    return;
  SetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, shared);
  LocalFree(shared);
}
#else
bool OwnerOnly(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && (st.st_mode & 077) == 0;
}

void MakeShared(const std::string& path) { chmod(path.c_str(), 0666); }
#endif

}  // namespace test

namespace {

// Moves a file's modification time by `micros` microseconds, as a program
// does that touches only the times (allowed while the file is held).
void ShiftModified(const std::string& name, int micros) {
#ifdef _WIN32
  HANDLE file = CreateFileA(name.c_str(), FILE_WRITE_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  FILETIME t;
  GetFileTime(file, nullptr, nullptr, &t);
  uint64_t ticks = ((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) + micros * 10;
  t.dwLowDateTime = static_cast<DWORD>(ticks);
  t.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &t));
  CloseHandle(file);
#else
  auto when = std::filesystem::last_write_time(name);
  std::filesystem::last_write_time(name, when + std::chrono::microseconds(micros));
#endif
}

}  // namespace

// A held buffer is still the one opened until its size, its modification
// time (by as little as a microsecond) or the file under its name changes.
TEST(Platform, HeldFileStaysAsOpenedUntilChanged) {
  test::ScratchDir dir;
  std::string name = dir.File("in.puf");
  test::WriteFile(name, "mail");
  platform::FileState state;
  FILE* in = platform::OpenHeld(name.c_str(), &state);
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(state.size, 4);
  EXPECT_TRUE(platform::StillAsOpened(name.c_str(), state));
  ShiftModified(name, 1);
  EXPECT_FALSE(platform::StillAsOpened(name.c_str(), state));
  ShiftModified(name, -1);
  EXPECT_TRUE(platform::StillAsOpened(name.c_str(), state));
  ASSERT_EQ(rename(name.c_str(), dir.File("old").c_str()), 0);
  test::WriteFile(name, "mail");
  EXPECT_FALSE(platform::StillAsOpened(name.c_str(), state));
  EXPECT_EQ(fclose(in), 0);
}
#ifdef __linux__
// A sync reaches the system: the file's, and the directory's after an entry
// came or went.
TEST(Platform, SyncsReachTheSystem) {
  test::ScratchDir dir;
  FILE* out = platform::OpenFile(dir.File("f").c_str(), "wbx");
  ASSERT_NE(out, nullptr);
  fputs("x", out);
  int before = gFsyncs;
  EXPECT_EQ(platform::Sync(out), 0);
  EXPECT_EQ(gFsyncs, before + 1);
  EXPECT_EQ(platform::Close(out), 0);
  platform::SyncDirectoryOf(dir.File("f").c_str());
  EXPECT_EQ(gFsyncs, before + 2);
}
#endif


#ifndef _WIN32
// Held for a rewrite, a buffer keeps out every kind of deliverer while the
// run lasts: the dotlock, flock and fcntl all refuse another process; they
// are all free again once it is closed, the dotlock gone. A dotlock of a
// process that died is stale and taken over; a device is refused unopened.
TEST(Platform, RewriteTakesEveryLockDeliverersTake) {
  test::ScratchDir dir;
  std::string name = dir.File("in.puf"), lock = name + ".lock";
  test::WriteFile(name, "mail");
  auto othersLocks = [&] {  // what another process gets: dotlock, flock, fcntl
    int pipeFd[2];
    if (pipe(pipeFd) != 0) return std::string("pipe");
    pid_t child = fork();
    if (child == 0) {
      int fd = open(name.c_str(), O_RDWR);
      struct flock l = {};
      l.l_type = F_WRLCK;
      char got[3] = {lockfile_create(lock.c_str(), 0, 0) == L_SUCCESS ? 'D' : '-',
                     flock(fd, LOCK_EX | LOCK_NB) == 0 ? 'F' : '-',
                     fcntl(fd, F_SETLK, &l) == 0 ? 'C' : '-'};
      if (got[0] == 'D') lockfile_remove(lock.c_str());
      _exit(write(pipeFd[1], got, 3) == 3 ? 0 : 1);
    }
    close(pipeFd[1]);
    char got[4] = {};
    ssize_t n = read(pipeFd[0], got, 3);
    close(pipeFd[0]);
    waitpid(child, nullptr, 0);
    return n == 3 ? std::string(got) : std::string("none");
  };
  platform::FileState state;
  FILE* held = platform::OpenHeld(name.c_str(), &state, true);
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(std::make_tuple(othersLocks(), test::Exists(lock)), std::make_tuple(std::string("---"), true));
  EXPECT_EQ(platform::Close(held), 0);
  EXPECT_EQ(std::make_tuple(othersLocks(), test::Exists(lock)), std::make_tuple(std::string("DFC"), false));
  // The pid of a process that has ended: its lock is stale.
  pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  test::WriteFile(lock, std::to_string(gone) + "\n");
  held = platform::OpenHeld(name.c_str(), &state, true);
  EXPECT_NE(held, nullptr);
  if (held != nullptr) platform::Close(held);
  // A live holder (this process) is waited for, then reported.
  test::WriteFile(lock, std::to_string(getpid()) + "\n");
  EXPECT_EQ(platform::OpenHeld(name.c_str(), &state, true), nullptr);
  EXPECT_EQ(errno, EBUSY);
  EXPECT_EQ(test::ReadFile(lock), std::to_string(getpid()) + "\n");
  unlink(lock.c_str());
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
  for (const std::string& other : {dir.File("fifo"), std::string("/dev/null")}) {
    EXPECT_EQ(platform::OpenHeld(other.c_str(), &state, true), nullptr);
    EXPECT_EQ(errno, ENODEV) << other;
  }
}
#endif
