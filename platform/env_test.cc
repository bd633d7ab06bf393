#include "platform/env.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
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
static std::atomic<int> gFsyncs{0};
extern "C" int fsync(int fd) {
  ++gFsyncs;
  return static_cast<int>(syscall(SYS_fsync, fd));
}
#endif

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
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

// Jobs run one after the other in the order handed over, and Wait returns
// only when the job in hand is done; on Windows both ways of waiting. Two
// jobs at once would count one number twice: the count falls short.
TEST(Platform, WorkerRunsJobsInOrderAndWaits) {
  auto countJob = [](void* state) {
    std::atomic<int>* done = static_cast<std::atomic<int>*>(state);
    int number = *done + 1;
    if (number % 100 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    *done = number;
  };
  for (bool eventsOnly : {false, true}) {
    std::atomic<int> done{0};
    {
      platform::cWorker worker(eventsOnly);
      for (int i = 1; i <= 1000; ++i) {
        worker.Post(countJob, &done);
        if (i % 3 == 0) {
          worker.Wait();
          ASSERT_EQ(done, i) << eventsOnly;
        }
      }
    }  // the last job ends before the worker does
    EXPECT_EQ(done, 1000);
  }
}

// Moves a file's modification time by `micros` microseconds, as a program
// does that touches only the times (allowed while the file is held).
static void ShiftModified(const std::string& name, int micros) {
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

// A held buffer is still the one opened until its size, its modification
// time (by as little as a microsecond) or the file under its name changes.
// POSIX: held for a rewrite, it keeps out every kind of deliverer while the
// run lasts: the dotlock, flock and fcntl all refuse another process; they
// are all free again once it is closed, the dotlock gone. A dotlock of a
// process that died is stale and taken over; a live one is waited for.
TEST(Platform, HeldFileKeepsDeliverersOutAndStaysAsOpenedUntilChanged) {
  test::ScratchDir dir;
  std::string name = dir.File("in.puf"), lock = name + ".lock";
  test::WriteFile(name, "mail");
  platform::FileState state;
#ifndef _WIN32
  // The locks another process gets, a bit each: the dotlock 4, flock 2, fcntl 1.
  auto othersLocks = [&] {
    pid_t child = fork();
    if (child == 0) {
      int fd = open(name.c_str(), O_RDWR);
      struct flock l = {};
      l.l_type = F_WRLCK;
      int got = lockfile_create(lock.c_str(), 0, 0) == L_SUCCESS ? 4 : 0;
      if (flock(fd, LOCK_EX | LOCK_NB) == 0) got |= 2;
      if (fcntl(fd, F_SETLK, &l) == 0) got |= 1;
      if (got & 4) lockfile_remove(lock.c_str());
      _exit(got);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  FILE* held = platform::OpenHeld(name.c_str(), &state, true);
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(std::make_tuple(othersLocks(), test::Exists(lock)), std::make_tuple(0, true));
  EXPECT_EQ(platform::Close(held), 0);
  EXPECT_EQ(std::make_tuple(othersLocks(), test::Exists(lock)), std::make_tuple(7, false));
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
#endif
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
