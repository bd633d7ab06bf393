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
