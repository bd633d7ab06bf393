#include "buffer/file_stream.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "platform/fault.h"
#include "tests/test_util.h"

TEST(cFileStream, OpenAndCloseReports) {
  test::ScratchDir dir;
  cFileStream stream;
  testing::internal::CaptureStderr();
  EXPECT_EQ(stream.Close(), 0);  // never opened: quiet
  EXPECT_EQ(stream.Open("/nonexistent/p.puf", "rb", 0), 1);
  EXPECT_STREQ(stream.FileName, "/nonexistent/p.puf");
  EXPECT_EQ(stream.Close(), 0);
  std::string name = dir.File("out");
  ASSERT_EQ(stream.Open(name.c_str(), "wb", kStreamBuffer), 0);
  platform::SetFault(platform::kFaultClose, 1, false, ENOSPC);
  EXPECT_EQ(stream.Close(), 1);
  platform::ClearFault();
  EXPECT_EQ(stream.File, nullptr);
  EXPECT_EQ(stream.Close(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Fehler: No such file or directory\nFehler beim Oeffnen der Datei /nonexistent/p.puf\n"
            "Fehler: No space left on device\nFehler: No space left on device\n"
            "Fehler beim Schliessen der Datei " + name + "\n");
}
