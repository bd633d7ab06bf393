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
#include <grp.h>
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
#undef ReplaceFile

namespace {
// Another program that holds `name` open for a moment, sharing `sharing`,
// and appends `appended` before it closes it.
std::thread HoldAMoment(const std::string& name, DWORD access, DWORD sharing,
                        const char* appended) {
  HANDLE file = CreateFileA(name.c_str(), access, sharing, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(file, INVALID_HANDLE_VALUE);
  return std::thread([file, appended] {
    Sleep(300);
    DWORD written;
    SetFilePointer(file, 0, nullptr, FILE_END);
    WriteFile(file, appended, static_cast<DWORD>(strlen(appended)), &written, nullptr);
    CloseHandle(file);
  });
}
}  // namespace
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

TEST(Platform, ReplaceFileReplacesAndWaitsOutABriefHolder) {
  test::ScratchDir dir;
  std::string target = dir.File("in.puf"), fresh = dir.File("new.puf");
  test::WriteFile(target, "old");
  test::WriteFile(fresh, "new");
#ifdef _WIN32
  // A scanner opens the new buffer for a moment, sharing neither writing nor
  // deletion; the replacement must wait for it rather than fail.
  std::thread scanner = HoldAMoment(target, GENERIC_READ, FILE_SHARE_READ, "");
#endif
  EXPECT_EQ(platform::ReplaceFile(fresh.c_str(), target.c_str()), 0);
#ifdef _WIN32
  scanner.join();
#endif
  EXPECT_EQ(test::ReadFile(target), "new");
  EXPECT_FALSE(test::Exists(fresh));
#ifdef _WIN32
  // The input was held and closed for the rename: written meanwhile, it is
  // not replaced.
  test::WriteFile(target, "old");
  test::WriteFile(fresh, "new");
  platform::FileState state;
  FILE* held = platform::OpenHeld(target.c_str(), &state);
  ASSERT_NE(held, nullptr);
  fclose(held);
  // As a deliverer that waited for the held input: it gets the buffer in
  // the moment between the input's close and the rename, and appends.
  std::thread deliverer = HoldAMoment(target, GENERIC_WRITE, FILE_SHARE_READ, "+mail");
  EXPECT_EQ(platform::ReplaceFile(fresh.c_str(), target.c_str(), &state), ECANCELED);
  deliverer.join();
  EXPECT_EQ(std::make_tuple(test::ReadFile(target), test::ReadFile(fresh)),
            std::make_tuple(std::string("old+mail"), std::string("new")));
#endif
}

// Another program that opens the buffer while it is replaced again and
// again always finds a file under its name (Windows' ReplaceFileA has a
// moment without one), and one of the two contents.
TEST(Platform, ReplacementNeverLeavesTheNameWithoutAFile) {
  test::ScratchDir dir;
  std::string target = dir.File("in.puf"), fresh = dir.File("new.puf");
  test::WriteFile(target, "old");
  std::atomic<bool> done{false};
  std::atomic<long> opened{0}, missing{0};
  std::thread reader([&] {
    while (!done) {
#ifdef _WIN32
      // As a mail program that lets others replace the file it reads.
      HANDLE file = CreateFileA(target.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
      bool open = file != INVALID_HANDLE_VALUE;
      bool gone = !open && (GetLastError() == ERROR_FILE_NOT_FOUND);
      if (open) CloseHandle(file);
      // Windows renames nothing over a file that is open, however shared: a
      // reader that never paused would only test the retries.
      Sleep(1);
#else
      int fd = open(target.c_str(), O_RDONLY);
      bool gone = fd < 0 && errno == ENOENT;
      if (fd >= 0) close(fd);
#endif
      ++(gone ? missing : opened);
    }
  });
  int replaced = 0;
  for (; replaced < 300; ++replaced) {
    test::WriteFile(fresh, "new" + std::to_string(replaced));
    if (platform::ReplaceFile(fresh.c_str(), target.c_str()) != 0) break;
  }
  done = true;
  reader.join();
  EXPECT_EQ(std::make_tuple(replaced, missing.load(), opened > 0, test::ReadFile(target)),
            std::make_tuple(300, 0L, true, std::string("new299")))
      << "of " << opened + missing << " opens";
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

#ifdef _WIN32
// The replaced buffer keeps what the user or the administrator gave the
// input: its hidden attribute and its security descriptor. Its archive
// attribute is set even where a backup had cleared it: the content is new.
TEST(Platform, ReplacementKeepsTheInputsAttributesAndSecurity) {
  test::ScratchDir dir;
  std::string target = dir.File("in.puf"), fresh = dir.File("new.puf");
  test::WriteFile(target, "old");
  FILE* out = platform::OpenFile(fresh.c_str(), "wbxp");
  ASSERT_NE(out, nullptr);
  fputs("new", out);
  ASSERT_EQ(platform::Close(out), 0);
  ASSERT_TRUE(SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_HIDDEN));
  // Everything for everyone: a shared buffer, unlike the private new file.
  test::MakeShared(target);
  bool secured = !test::OwnerOnly(target);
  std::string before = test::Dacl(target);
  ASSERT_EQ(platform::CopyAccess(target.c_str(), fresh.c_str()), 0);
  ASSERT_EQ(platform::ReplaceFile(fresh.c_str(), target.c_str()), 0);
  EXPECT_EQ(test::ReadFile(target), "new");
  DWORD wanted = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE;
  EXPECT_EQ(GetFileAttributesA(target.c_str()) & wanted, wanted);
  if (!secured) GTEST_SKIP() << "no access lists on this file system";
  EXPECT_EQ(test::Dacl(target), before);
  // A failed step is reported, not passed over.
  EXPECT_EQ(platform::CopyAccess(dir.File("missing").c_str(), target.c_str()), ENOENT);
}
#endif

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
// A sync reaches the system: the file's, and the directory's after a rename.
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
// An account outside the input's group cannot give the new buffer that
// group: the new one then gets no group rights, rather than handing the
// input group's rights to its own group. Within the group, all is kept.
TEST(Platform, GroupRightsGoOnlyWithTheGroup) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to act as an account outside a group";
  const uid_t kNobody = 65534;
  gid_t groups[] = {4243, 4242};  // "users" and "mail", whatever the system has
  test::ScratchDir dir;
  chmod(dir.path().c_str(), 0755);
  std::string input = dir.File("in.puf"), fresh = dir.File("new.puf");
  for (int member = 0; member < 2; ++member) {
    test::WriteFile(input, "old");
    test::WriteFile(fresh, "new");
    ASSERT_TRUE(chown(input.c_str(), kNobody, groups[1]) == 0 && chmod(input.c_str(), 02664) == 0);
    ASSERT_TRUE(chown(fresh.c_str(), kNobody, groups[0]) == 0 && chmod(fresh.c_str(), 0600) == 0);
    pid_t child = fork();
    if (child == 0) {
      if (setgroups(1 + member, groups) != 0 || setgid(groups[0]) != 0 || setuid(kNobody) != 0) _exit(2);
      // A scratch directory behind a closed home is no fault of the code.
      if (access(input.c_str(), R_OK) != 0) _exit(2);
      _exit(platform::CopyAccess(input.c_str(), fresh.c_str()) == 0 ? 0 : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 2) GTEST_SKIP() << "cannot act as another account here";
    struct stat st;
    ASSERT_TRUE(status == 0 && stat(fresh.c_str(), &st) == 0) << status;
    EXPECT_EQ(std::make_tuple(st.st_gid, st.st_mode & 07777),
              std::make_tuple(groups[member], member ? 02664u : 0604u));
  }
}
#endif
