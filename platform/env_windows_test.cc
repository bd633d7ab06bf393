// The Windows side of a buffer rewritten in place: who else may open it,
// and positioned I/O that leaves the stream alone.
#include <gtest/gtest.h>
#include <windows.h>

#include <cerrno>
#include <string>
#include <utility>

#include "platform/env.h"
#include "tests/test_util.h"

namespace {

// Another program's open of `name` for `access`, sharing everything itself:
// 0, or the error that refused it.
DWORD OpenError(const std::string& name, DWORD access) {
  HANDLE file = CreateFileA(name.c_str(), access,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  CloseHandle(file);
  return 0;
}

}  // namespace

// Held for a rewrite, the buffer keeps writers out but not readers; held
// alone while its bytes change, it keeps everyone out, and positioned reads,
// writes and size changes leave the stream's own position where it was: its
// next read goes on from there. Closed, it is open to all again and the same
// file as before, with the attributes someone gave it. A reader that stays
// is waited for, then reported; the old stream is gone.
TEST(WindowsRewrite, HeldBufferIsRewrittenInPlace) {
  test::ScratchDir dir;
  std::string name = dir.File("in.puf");
  test::WriteFile(name, "0123456789");
  ASSERT_TRUE(SetFileAttributesA(name.c_str(), FILE_ATTRIBUTE_HIDDEN));
  const DWORD refused = ERROR_SHARING_VIOLATION;
  platform::FileState before, after;
  FILE* held = platform::OpenHeld(name.c_str(), &before, true);
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(OpenError(name, GENERIC_WRITE), refused);
  EXPECT_EQ(OpenError(name, GENERIC_READ), 0u);
  ASSERT_EQ(platform::HoldAlone(&held, name.c_str()), 0);
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(OpenError(name, GENERIC_READ), refused);
  setvbuf(held, nullptr, _IONBF, 0);  // each fread asks the file itself
  char bytes[16] = {};
  ASSERT_EQ(fread(bytes, 1, 2, held), 2u);  // the new stream reads the same file
  EXPECT_EQ(platform::ReadAt(held, 5, bytes, sizeof bytes), 5);
  EXPECT_EQ(std::string(bytes, 5), "56789");
  EXPECT_EQ(platform::ReadAt(held, 20, bytes, sizeof bytes), 0);
  EXPECT_EQ(platform::WriteAt(held, 7, "ab", 2), 0);
  EXPECT_EQ(platform::Resize(held, 13), 0);  // grows with zeros
  ASSERT_EQ(fread(bytes, 1, 3, held), 3u);
  EXPECT_EQ(std::string(bytes, 3), "234");
  EXPECT_EQ(platform::ReadAt(held, 0, bytes, sizeof bytes), 13);
  EXPECT_EQ(std::string(bytes, 13), std::string("0123456ab9\0\0\0", 13));
  EXPECT_EQ(platform::Resize(held, 4), 0);
  EXPECT_EQ(platform::Tell(held), 5);
  EXPECT_EQ(platform::Close(held), 0);
  EXPECT_EQ(test::ReadFile(name), "0123");
  EXPECT_EQ(OpenError(name, GENERIC_READ | GENERIC_WRITE), 0u);
  EXPECT_NE(GetFileAttributesA(name.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
  held = platform::OpenHeld(name.c_str(), &after, true);
  ASSERT_NE(held, nullptr);
  EXPECT_TRUE(after.volume == before.volume && after.index == before.index);
  HANDLE reader = CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(platform::HoldAlone(&held, name.c_str()), EBUSY);
  EXPECT_EQ(held, nullptr);
  CloseHandle(reader);
}

// Only a file on a disk is rewritten: a device is turned away, a missing
// one not found; a folder is one, also when it is only to be read.
TEST(WindowsRewrite, RefusesAllButDiskFiles) {
  test::ScratchDir dir;
  platform::FileState state;
  const std::pair<std::string, int> cases[] = {
      {dir.path(), EISDIR}, {"NUL", ENODEV}, {dir.File("missing"), ENOENT}};
  for (bool rewrite : {true, false}) {
    for (const auto& [name, err] : cases) {
      if (!rewrite && err == ENODEV) continue;
      errno = 0;
      EXPECT_EQ(platform::OpenHeld(name.c_str(), &state, rewrite), nullptr) << name;
      EXPECT_EQ(errno, err) << name;
    }
  }
}
