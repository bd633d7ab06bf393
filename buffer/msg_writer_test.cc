#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <string>

#include "buffer/xp_msg.h"
#include "platform/env.h"
#include "platform/fault.h"
#include "tests/test_util.h"

using test::Message;

namespace {

std::string Written(cXPMsg& msg) {
  FILE* out = tmpfile();
  EXPECT_EQ(msg.WriteRawMsg(out, stderr), 0);
  std::string bytes = test::Contents(out);
  platform::Close(out);
  return bytes;
}

// Reads every message of `bytes` and writes each back, as an insertion run
// without faces does.
std::string CopyThrough(const std::string& bytes) {
  FILE* in = test::StreamOf(bytes);
  FILE* out = tmpfile();
  cXPMsg msg;
  while (msg.ReadMsg(in, nullptr) == 0) EXPECT_EQ(msg.WriteRawMsg(out, stderr), 0);
  std::string copy = test::Contents(out);
  fclose(in);
  platform::Close(out);
  return copy;
}

}  // namespace

TEST(WriteRawMsg, TwoNamesTakeNoBlankAfterTheColon) {
  cXPMsg msg;
  msg.AddHeader("X_C", "");
  msg.AddHeader("X-XP-ARC", "30");
  msg.AddHeader("x-xp-arc", "30");
  msg.AddHeader("EMP", "");
  EXPECT_EQ(Written(msg), "X_C:\r\nX-XP-ARC:30\r\nx-xp-arc: 30\r\nEMP: \r\n\r\n");
}

TEST(WriteRawMsg, EmptyMessageIsOneLineEnd) {
  cXPMsg msg;
  EXPECT_EQ(Written(msg), "\r\n");
}

TEST(WriteRawMsg, BufferCopiesByteForByte) {
  std::string bytes = Message({"EMP: a@b", "BET: Gruesse ", "LEN: 7"}, std::string("\0\r\n\r\nx\0", 7)) +
                      Message({"X_C:", "ABS:  two blanks", "LEN: 0"}, "") +
                      Message({"ROT: /x", "LEN: 2", "LEN: 1"}, "z");
  EXPECT_EQ(CopyThrough(bytes), bytes);
  // What the writer mends: the blank that X-XP-ARC never takes, line ends.
  EXPECT_EQ(CopyThrough("X-XP-ARC: 30\nA: b\r\r\nLEN: 0\r\n\r\n"),
            "X-XP-ARC:30\r\nA: b\r\nLEN: 0\r\n\r\n");
}

TEST(WriteRawMsg, BuiltMessageCarriesItsBodyAndLength) {
  cXPMsg msg;
  std::string bmp(447, '\x42');
  ASSERT_EQ(msg.SetMsgBodyRaw(bmp.data(), 447), 0);
  msg.AddLenHeader();
  msg.AddHeader("LEN", "1");
  EXPECT_EQ(Written(msg), "LEN: 446\r\nLEN: 1\r\n\r\n" + std::string(446, '\x42'));
  ASSERT_EQ(msg.SetMsgBodyRaw(nullptr, 0), 0);
  EXPECT_EQ(msg.Body.Length, 1);
}

TEST(WriteRawMsg, OutputThatCannotTellItsPositionGetsNothing) {
  FILE* pipeEnds[2];
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pipeEnds[1] = fdopen(fds[1], "wb");
  cXPMsg msg;
  msg.AddHeader("EMP", "x");
  testing::internal::CaptureStderr();
  EXPECT_EQ(msg.WriteRawMsg(pipeEnds[1], stderr), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "WriteRawMsg. ftell failed\n");
  platform::Close(pipeEnds[1]);
  pipeEnds[0] = fdopen(fds[0], "rb");
  EXPECT_EQ(fgetc(pipeEnds[0]), EOF);
  fclose(pipeEnds[0]);
}

TEST(WriteRawMsg, EachFailingWriteIsReported) {
  cXPMsg msg;
  msg.AddHeader("EMP", "x");
  msg.SetMsgBodyRaw("body", 5);
  struct Case {
    long nth;
    const char* report;
  } cases[] = {
      {1, "Fehler bei der Header-Ausgabe\n"},
      {2, "Fehler bei der Ausgabe der Headerende-Zeile\n"},
      // The body line goes to standard error and again to the error stream.
      {3, "cXPMsg::WriteRawBody: Fehler bei der Msg-Ausgabe\n"
          "cXPMsg::WriteRawBody: Fehler bei der Msg-Ausgabe\n"},
  };
  for (const Case& c : cases) {
    FILE* out = tmpfile();
    platform::SetFault(platform::kFaultWrite, c.nth, false, EIO);
    testing::internal::CaptureStderr();
    EXPECT_EQ(msg.WriteRawMsg(out, stderr), 1) << c.nth;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.report);
    platform::ClearFault();
    platform::Close(out);
  }
}

TEST(MsgDump, ListsOffsetsAndHeaders) {
  cXPMsg msg;
  msg.OfsStart = 255;
  msg.OfsEnde = 4294967296;  // beyond 32 bits
  msg.AddHeader("EMP", "a");
  FILE* out = tmpfile();
  msg.MsgDump(out);
  EXPECT_EQ(test::Contents(out),
            "--------- Msg-Dump -------------\n"
            "OfsStart: 255 (0xFF)\n"
            "OfsEnde : 4294967296 (0x100000000)\n"
            "---- Dump Anfang cHeaders ----\nAnzahl Elemente: 1\n<EMP> <a>\n"
            "---- Dump Ende cHeaders ----\n");
  fclose(out);
}
