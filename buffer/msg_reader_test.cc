#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "buffer/xp_msg.h"
#include "tests/test_util.h"

using test::Message;

namespace {

// Reads every message of `bytes` into one reused cXPMsg, as the filter loop
// does, collecting the results and what went to the log stream.
struct Reading {
  explicit Reading(const std::string& bytes) : in(test::StreamOf(bytes)), log(tmpfile()) {}
  ~Reading() {
    fclose(in);
    fclose(log);
  }
  int Next() { return msg.ReadMsg(in, log); }
  std::string Log() { return test::Contents(log); }
  std::string Value(int i) { return msg.Headers.At(i)->Value.Text(); }
  std::string Name(int i) { return msg.Headers.At(i)->Name.Text(); }
  std::string Body() { return std::string(msg.Body.Data, msg.Body.Size()); }

  FILE* in;
  FILE* log;
  cXPMsg msg;
};

}  // namespace

TEST(ReadMsg, EmptyBufferEndsAtOnce) {
  Reading r("");
  EXPECT_EQ(r.Next(), 2);
  EXPECT_EQ(r.Log(), "");
}

TEST(ReadMsg, ReadsMessagesInTurnWithOffsets) {
  std::string first = Message({"EMP: user", "LEN: 5"}, "abc\r\n");
  std::string second = Message({"ABS: x", "LEN: 0"}, "");
  Reading r(first + second);
  ASSERT_EQ(r.Next(), 0);
  EXPECT_EQ(r.msg.Headers.Count(), 2);
  EXPECT_EQ(r.Name(1), "LEN");
  EXPECT_EQ(r.Value(1), "5");
  EXPECT_EQ(r.Body(), "abc\r\n");
  EXPECT_EQ(r.msg.OfsStart, 0);
  EXPECT_EQ(r.msg.OfsEnde, static_cast<int64_t>(first.size()));
  ASSERT_EQ(r.Next(), 0);
  EXPECT_EQ(r.Body(), "");
  EXPECT_EQ(r.msg.Body.Length, 1);
  EXPECT_EQ(r.msg.OfsEnde, static_cast<int64_t>(first.size() + second.size()));
  EXPECT_EQ(r.Next(), 2);
  EXPECT_EQ(r.Log(), "");
}

TEST(ReadMsg, BodyKeepsNulCrAndLfBytes) {
  std::string body("a\0b\rc\nd\r\n\0", 10);
  Reading r(Message({"LEN: 10"}, body));
  ASSERT_EQ(r.Next(), 0);
  EXPECT_EQ(r.Body(), body);
}

TEST(ReadMsg, ValueRules) {
  Reading r(Message({"X-XP-ARC:", "ABC:xyz", "TWO:  lead", "TRAIL: end ", "LEN: 0"}, "") +
            "LF: only\nCRCR: x\r\r\nLEN: 0\n\r\n");
  ASSERT_EQ(r.Next(), 0);
  EXPECT_EQ(r.Name(0), "X-XP-ARC");
  EXPECT_EQ(r.Value(0), "");
  EXPECT_EQ(r.Value(1), "yz");  // the byte after the colon is the separator
  EXPECT_EQ(r.Value(2), " lead");
  EXPECT_EQ(r.Value(3), "end ");
  ASSERT_EQ(r.Next(), 0);
  EXPECT_EQ(r.Value(0), "only");
  EXPECT_EQ(r.Value(1), "x");
}

TEST(ReadMsg, LenRules) {
  // Without a blank behind the colon LEN gives no length.
  Reading none(Message({"LEN:5"}, "abcde"));
  EXPECT_EQ(none.Next(), 1);
  EXPECT_EQ(none.Log(), "Keine Laengenangabe im Header\n");
  EXPECT_EQ(none.Name(0), "LEN");
  EXPECT_EQ(none.Value(0), "");
  // The last LEN counts; all stay; a tab separates too; atol reading.
  Reading last(Message({"LEN: 99", "LEN:\t 3xyz"}, "abc"));
  ASSERT_EQ(last.Next(), 0);
  EXPECT_EQ(last.Body(), "abc");
  EXPECT_EQ(last.msg.Headers.Count(), 2);
  EXPECT_EQ(last.Next(), 2);
}

TEST(ReadMsg, UncountedLineEndAfterBodyFailsNextMessage) {
  Reading r(Message({"LEN: 3"}, "abc") + "\r\n");
  ASSERT_EQ(r.Next(), 0);
  EXPECT_EQ(r.Next(), 1);
  EXPECT_EQ(r.Log(), "Keine Laengenangabe im Header\n");
}

TEST(ReadMsg, CutOffMessageIsAnError) {
  Reading r("EMP: a\r\nABS: b\r\nLEN: 1");
  EXPECT_EQ(r.Next(), 1);
  EXPECT_EQ(r.msg.Headers.Count(), 3);
  EXPECT_EQ(r.Value(2), "1");
  EXPECT_EQ(r.msg.OfsEnde, r.msg.OfsStart);
  EXPECT_EQ(r.Log(), "Unvollstaendige Nachricht am Ende des Puffers\n");
}

TEST(ReadMsg, StrayBytesWithoutHeaderEndTheBuffer) {
  Reading r(Message({"LEN: 0"}, "") + "\x1a");
  testing::internal::CaptureStderr();
  EXPECT_EQ(r.Next(), 0);
  EXPECT_EQ(r.Next(), 2);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "fehlerhafte Headerzeile: <\x1a> at A\n");
}

TEST(ReadMsg, LinePieceBoundary) {
  // 511 bytes come as one piece; the rest of a long line is taken byte-wise.
  std::string value(2000, 'v');
  value[700] = '\0';  // a NUL in the rest is dropped
  std::string exact = "N: " + std::string(508, 'w');  // 511 bytes before CR LF
  Reading r(Message({"LONG: " + value, exact, "LEN: 0"}, ""));
  ASSERT_EQ(r.Next(), 0);
  std::string expected(2000, 'v');
  expected.erase(700, 1);
  EXPECT_EQ(r.Value(0), expected);
  EXPECT_EQ(r.Value(1), std::string(508, 'w'));
  EXPECT_EQ(r.Next(), 2);
}

TEST(ReadMsg, ColonBeyondFirstPieceIsABadLine) {
  std::string line = std::string(600, 'n') + ": v";
  Reading r(Message({line, "LEN: 0"}, ""));
  testing::internal::CaptureStderr();
  ASSERT_EQ(r.Next(), 0);
  std::string err = testing::internal::GetCapturedStderr();
  // The first piece is reported (with its own bytes), the rest read anew.
  std::string report = "fehlerhafte Headerzeile: <" + std::string(511, 'n') + "> at 0\n";
  EXPECT_EQ(err, report);
  EXPECT_EQ(r.Log(), report);
  ASSERT_EQ(r.msg.Headers.Count(), 2);
  EXPECT_EQ(r.Name(0), std::string(89, 'n'));
  EXPECT_EQ(r.Value(0), "v");
}

TEST(ReadMsg, BadLineShowsItsLineEndAndOffset) {
  std::string first = Message({"LEN: 1"}, "x");
  Reading r(first + Message({"no colon", ":starts with colon", "LEN: 0"}, ""));
  ASSERT_EQ(r.Next(), 0);
  testing::internal::CaptureStderr();
  ASSERT_EQ(r.Next(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "fehlerhafte Headerzeile: <no colon\r\n> at B\n"
            "fehlerhafte Headerzeile: <:starts with colon\r\n> at B\n");
  EXPECT_EQ(r.msg.Headers.Count(), 1);
}

TEST(ReadMsg, NulInsideAHeaderLineDoesNotSwallowTheNext) {
  std::string bytes = std::string("A: x\0y\r\n", 8) + "B: z\r\nLEN: 0\r\n\r\n";
  Reading r(bytes);
  ASSERT_EQ(r.Next(), 0);
  ASSERT_EQ(r.msg.Headers.Count(), 3);
  EXPECT_EQ(r.Value(0), "x");
  EXPECT_EQ(r.Name(1), "B");
  EXPECT_EQ(r.Value(1), "z");
}

TEST(ReadMsg, ShortBodyReportsWhatWasRead) {
  Reading r(Message({"LEN: 10"}, std::string("ab\0cd", 5)));
  EXPECT_EQ(r.Next(), 1);
  EXPECT_EQ(r.Log(),
            "Nachrichtenkoerper konnte nicht komplett gelesen werden\n"
            "Laenge soll sein 10, gelesen wurden 5 Bytes\n"
            "gelesen wurde|ab|\n");
}

TEST(ReadMsg, ClaimedLengthDoesNotDecideMemory) {
  std::string body(1000, 'b');
  Reading huge(Message({"LEN: 4000000000"}, body));
  EXPECT_EQ(huge.Next(), 1);
  EXPECT_LT(huge.msg.Body.Capacity, 2 << 20);
  EXPECT_NE(huge.Log().find("Laenge soll sein 4000000000, gelesen wurden 1000 Bytes\n"),
            std::string::npos);
  // A negative length is an unsigned 32-bit one: far more than is there.
  Reading negative(Message({"LEN: -1"}, body));
  EXPECT_EQ(negative.Next(), 1);
  EXPECT_NE(negative.Log().find("Laenge soll sein 4294967295, gelesen wurden 1000 Bytes\n"),
            std::string::npos);
  // Numbers beyond 32 bits do not wrap around to small ones.
  Reading wrap(Message({"LEN: 4294967297"}, "x"));
  EXPECT_EQ(wrap.Next(), 1);
}

TEST(ReadMsg, LargeBodyGrowsAsItArrives) {
  std::string body(3 << 20, 'q');
  body[12345] = '\0';
  Reading r(Message({"LEN: " + std::to_string(body.size())}, body));
  ASSERT_EQ(r.Next(), 0);
  EXPECT_EQ(r.Body(), body);
}

TEST(ReadMsg, MegabytesWithoutLineFeed) {
  std::string junk = "X: " + std::string(4 << 20, 'j');
  Reading r(junk);
  EXPECT_EQ(r.Next(), 1);  // a cut-off message
  EXPECT_EQ(r.msg.Headers.At(0)->Value.Size(), 4 << 20);
}

TEST(ReadMsg, WithoutLogStreamOnlyTheBadLineReachesTheConsole) {
  FILE* in = test::StreamOf(Message({"bad", "LEN: 0"}, "") + "\r\n");
  cXPMsg msg;
  testing::internal::CaptureStderr();
  EXPECT_EQ(msg.ReadMsg(in, nullptr), 0);
  EXPECT_EQ(msg.ReadMsg(in, nullptr), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "fehlerhafte Headerzeile: <bad\r\n> at 0\n");
  fclose(in);
}
