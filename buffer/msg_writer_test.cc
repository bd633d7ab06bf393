#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "buffer/xp_msg.h"
#include "platform/env.h"
#include "platform/fault.h"
#include "tests/test_util.h"

TEST(WriteRawMsg, EachFailingWriteIsReported) {
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
    cBlockWriter writer(0);  // no block: each part is one write
    writer.Bind(out);
    platform::SetFault(platform::kFaultWrite, nth, false, EIO);
    testing::internal::CaptureStderr();
    EXPECT_EQ(msg.WriteRawMsg(writer, stderr), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), reports[nth - 1]);
    platform::ClearFault();
    platform::Close(out);
  }
}
