#include "buffer/file_stream.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "platform/fault.h"
#include "tests/test_util.h"

TEST(cFileStream, ClosedStreamClosesQuietly) {
  cFileStream stream;
  testing::internal::CaptureStderr();
  EXPECT_EQ(stream.Close(), 0);
  EXPECT_EQ(stream.Close(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(cFileStream, FailedOpenReportsAndKeepsTheName) {
  cFileStream stream;
  testing::internal::CaptureStderr();
  EXPECT_EQ(stream.Open("/nonexistent/puffer.puf", "rb", 0), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Fehler: No such file or directory\n"
            "Fehler beim Oeffnen der Datei /nonexistent/puffer.puf\n");
  EXPECT_EQ(stream.File, nullptr);
  EXPECT_STREQ(stream.FileName, "/nonexistent/puffer.puf");
  EXPECT_EQ(stream.Close(), 0);
  EXPECT_EQ(stream.FileName, nullptr);
}

TEST(cFileStream, ReopenHoldsOnlyTheNewName) {
  test::ScratchDir dir;
  cFileStream stream;
  ASSERT_EQ(stream.Open(dir.File("a").c_str(), "wb", 2048), 0);
  ASSERT_EQ(stream.Open(dir.File("b").c_str(), "wb", 0), 0);
  EXPECT_EQ(std::string(stream.FileName), dir.File("b"));
  EXPECT_EQ(stream.Close(), 0);
}

TEST(cFileStream, ExclusiveOpenNeverTruncates) {
  test::ScratchDir dir;
  test::WriteFile(dir.File("taken"), "mail");
  cFileStream stream;
  testing::internal::CaptureStderr();
  EXPECT_EQ(stream.Open(dir.File("taken").c_str(), "wbx", 0), 2);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(test::ReadFile(dir.File("taken")), "mail");
}

TEST(cFileStream, FailedCloseIsReportedOnceAsThreeLines) {
  test::ScratchDir dir;
  cFileStream stream;
  ASSERT_EQ(stream.Open(dir.File("out").c_str(), "wb", 0), 0);
  platform::SetFault(platform::kFaultClose, 1, false, ENOSPC);
  testing::internal::CaptureStderr();
  EXPECT_EQ(stream.Close(), 1);
  platform::ClearFault();
  std::string name = dir.File("out");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Fehler: No space left on device\nFehler: No space left on device\n"
            "Fehler beim Schliessen der Datei " + name + "\n");
  EXPECT_EQ(stream.File, nullptr);
  EXPECT_EQ(stream.Close(), 0);
}

TEST(cFileStream, EarlierWriteErrorFailsTheClose) {
  cFileStream stream;
  ASSERT_EQ(stream.Open("/dev/full", "wb", 0), 0);
  fputs("lost", stream.File);
  testing::internal::CaptureStderr();
  EXPECT_EQ(stream.Close(), 1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find(
                "Fehler beim Schliessen der Datei /dev/full\n"),
            std::string::npos);
}
