#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <cerrno>
#include <string>

#include "buffer/xp_msg.h"
#include "platform/env.h"
#include "platform/fault.h"
#include "tests/test_util.h"

namespace {

// Written streams are closed through the platform, which forgets that it
// checked their position.
std::string Written(cXPMsg& msg) {
  FILE* out = test::TempStream();
  EXPECT_EQ(msg.WriteRawMsg(out, stderr), 0);
  std::string bytes = test::Contents(out);
  platform::Close(out);
  return bytes;
}

}  // namespace

TEST(WriteRawMsg, TwoNamesTakeNoBlankAfterTheColonUnlessTheValueNeedsIt) {
  cXPMsg msg;
  EXPECT_EQ(Written(msg), "\r\n");
  msg.AddHeader("X_C", "");
  msg.AddHeader("X-XP-ARC", "30");
  msg.AddHeader("x-xp-arc", "30");
  msg.AddHeader("EMP", "");
  msg.AddHeader("X_C", " 12");  // written tight, its blank would read as the separator
  EXPECT_EQ(Written(msg), "X_C:\r\nX-XP-ARC:30\r\nx-xp-arc: 30\r\nEMP: \r\nX_C:  12\r\n\r\n");
}

TEST(WriteRawMsg, BuiltMessageCarriesItsBodyAndLength) {
  cXPMsg msg;
  std::string bmp(447, '\x42');
  ASSERT_EQ(msg.SetMsgBodyRaw(bmp.data(), 447), 0);
  msg.AddLenHeader();
  msg.AddHeader("LEN", "1");
  EXPECT_EQ(Written(msg), "LEN: 446\r\nLEN: 1\r\n\r\n" + std::string(446, '\x42'));
}

TEST(WriteRawMsg, FailuresAreReportedAndNothingGoesToAnUnseekableOutput) {
  cXPMsg msg;
  msg.AddHeader("EMP", "x");
  msg.SetMsgBodyRaw("body", 5);
  const char* reports[] = {
      "Fehler bei der Header-Ausgabe\n", "Fehler bei der Ausgabe der Headerende-Zeile\n",
      // The body's line goes to standard error and again to the error stream.
      "cXPMsg::WriteRawBody: Fehler bei der Msg-Ausgabe\n"
      "cXPMsg::WriteRawBody: Fehler bei der Msg-Ausgabe\n"};
  for (long nth = 1; nth <= 3; ++nth) {
    FILE* out = test::TempStream();
    platform::SetFault(platform::kFaultWrite, nth, false, EIO);
    testing::internal::CaptureStderr();
    EXPECT_EQ(msg.WriteRawMsg(out, stderr), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), reports[nth - 1]);
    platform::ClearFault();
    platform::Close(out);
  }
#ifndef _WIN32
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  FILE* pipeOut = fdopen(fds[1], "wb");
  testing::internal::CaptureStderr();
  EXPECT_EQ(msg.WriteRawMsg(pipeOut, stderr), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "WriteRawMsg. ftell failed\n");
  platform::Close(pipeOut);
  char byte;
  EXPECT_EQ(read(fds[0], &byte, 1), 0);
  close(fds[0]);
#endif
}
