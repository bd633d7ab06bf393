#include <gtest/gtest.h>

#include <string>

#include "buffer/xp_msg.h"
#include "tests/test_util.h"

using test::Message;

namespace {

// Reads the messages of `bytes` into one reused cXPMsg, as the filter loop
// does, keeping what went to the log stream.
struct Reading {
  explicit Reading(const std::string& bytes) : in(test::StreamOf(bytes)), log(test::TempStream()) {}
  ~Reading() {
    fclose(in);
    fclose(log);
  }
  int Next() { return msg.ReadMsg(in, log); }
  std::string Log() { return test::Contents(log); }
  std::string Value(int i) { return msg.Headers.At(i)->Value.Text(); }
  std::string Body() { return std::string(msg.Body.Data, msg.Body.Size()); }

  FILE* in;
  FILE* log;
  cXPMsg msg;
};

}  // namespace

TEST(ReadMsg, MessagesInTurnWithOffsetsAndRawBodies) {
  std::string body("a\0b\rc\nd\r\n", 9);
  std::string first = Message({"EMP: user", "LEN: 9"}, body);
  Reading r(first + Message({"LEN: 0"}, ""));
  ASSERT_EQ(r.Next(), 0);
  EXPECT_EQ(r.Body(), body);
  EXPECT_EQ(r.msg.OfsEnde, static_cast<int64_t>(first.size()));
  ASSERT_EQ(r.Next(), 0);
  EXPECT_EQ(r.msg.OfsStart, static_cast<int64_t>(first.size()));
  EXPECT_EQ(r.msg.Body.Length, 1);
  EXPECT_EQ(r.Next(), 2);
  EXPECT_EQ(r.Log(), "");
}

TEST(ReadMsg, ValueAndLengthRules) {
  Reading r(Message({"X-XP-ARC:", "ABC:xyz", "TWO:  lead", "TRAIL: end ", "TAB:\tv", "LEN: 99",
                     "LEN:\t 3x"},
                    "abc") +
            "LF: only\nCRCR: x\r\r\nLEN: 0\n\r\n" + Message({"LEN:5"}, ""));
  ASSERT_EQ(r.Next(), 0);
  EXPECT_EQ(r.Value(0), "");
  EXPECT_EQ(r.Value(1), "xyz");  // only a blank or tab separates
  EXPECT_EQ(r.Value(2), " lead");
  EXPECT_EQ(r.Value(3), "end ");
  EXPECT_EQ(r.Value(4), "v");
  EXPECT_EQ(r.Body(), "abc");  // the last LEN counts, read as atol reads
  ASSERT_EQ(r.Next(), 0);
  EXPECT_EQ(r.Value(0), "only");
  EXPECT_EQ(r.Value(1), "x");
  EXPECT_EQ(r.Next(), 1);  // "LEN:5" gives no length
  EXPECT_EQ(r.Log(), "Keine Laengenangabe im Header\n");
}

TEST(ReadMsg, PieceBoundaryOf511Bytes) {
  std::string value(2000, 'v');
  value[700] = '\0';                                    // dropped from the rest
  std::string exact = "N: " + std::string(508, 'w');    // 511 bytes before CR LF
  std::string late = std::string(600, 'n') + ": v";     // colon beyond the first piece
  std::string crs = std::string(505, 'c') + "\r\r\rtail\r";  // CRs where the piece ends
  std::string edge = std::string(510, 'e') + ": v";         // the colon ends the piece
  Reading r(Message({"LONG: " + value, exact, late, "CR: " + crs, edge, "LEN: 0"}, ""));
  testing::internal::CaptureStderr();
  ASSERT_EQ(r.Next(), 0);
  std::string report = "fehlerhafte Headerzeile: <" + std::string(511, 'n') + "> at 0\n";
  EXPECT_EQ(testing::internal::GetCapturedStderr(), report);
  EXPECT_EQ(r.Log(), report);
  EXPECT_EQ(r.Value(0), std::string(2000, 'v').erase(700, 1));
  EXPECT_EQ(r.Value(1), std::string(508, 'w'));
  EXPECT_EQ(std::string(r.msg.Headers.At(2)->Name.Text()), std::string(89, 'n'));
  EXPECT_EQ(r.Value(3), std::string(505, 'c') + "\r\r\rtail");
  EXPECT_EQ(r.Value(4), "v");
}

TEST(ReadMsg, BadLinesAndNulsInHeaders) {
  std::string first = Message({"LEN: 1"}, "x");
  Reading r(first + std::string("A: x\0y\r\n", 8) + Message({"no colon", "LEN: 0"}, ""));
  ASSERT_EQ(r.Next(), 0);
  testing::internal::CaptureStderr();
  ASSERT_EQ(r.Next(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "fehlerhafte Headerzeile: <no colon\r\n> at B\n");
  ASSERT_EQ(r.msg.Headers.Count(), 2);  // the NUL does not swallow the next line
  EXPECT_EQ(r.Value(0), "x");
}

TEST(ReadMsg, TruncatedBuffers) {
  Reading header("EMP: a\r\nLEN: 1");
  EXPECT_EQ(header.Next(), 1);
  EXPECT_EQ(header.Log(), "Unvollstaendige Nachricht am Ende des Puffers\n");
  Reading stray(Message({"LEN: 0"}, "") + "\x1a");  // a DOS end-of-file mark
  testing::internal::CaptureStderr();
  EXPECT_EQ(stray.Next(), 0);
  EXPECT_EQ(stray.Next(), 2);
  testing::internal::GetCapturedStderr();
  Reading body(Message({"LEN: 10"}, std::string("ab\0cd", 5)));
  EXPECT_EQ(body.Next(), 1);
  EXPECT_EQ(body.Log(),
            "Nachrichtenkoerper konnte nicht komplett gelesen werden\n"
            "Laenge soll sein 10, gelesen wurden 5 Bytes\ngelesen wurde|ab|\n");
  Reading extra(Message({"LEN: 3"}, "abc") + "\r\n");  // an uncounted line end
  ASSERT_EQ(extra.Next(), 0);
  EXPECT_EQ(extra.Next(), 1);
}

TEST(ReadMsg, ClaimedLengthDoesNotDecideMemory) {
  std::string body(1000, 'b');
  for (std::string len : {"4000000000", "-1", "4294967297"}) {
    Reading r(Message({"LEN: " + len}, body));
    EXPECT_EQ(r.Next(), 1) << len;
    EXPECT_LT(r.msg.Body.Capacity, 2 << 20) << len;
    EXPECT_NE(r.Log().find(", gelesen wurden 1000 Bytes\n"), std::string::npos) << len;
  }
  std::string big(3 << 20, 'q');  // a real large body grows as it arrives
  Reading r(Message({"LEN: " + std::to_string(big.size())}, big) + "X: " +
            std::string(4 << 20, 'j'));
  ASSERT_EQ(r.Next(), 0);
  EXPECT_EQ(r.Body(), big);
  EXPECT_EQ(r.Next(), 1);  // megabytes without a line feed: a cut-off message
  EXPECT_EQ(r.msg.Headers.At(0)->Value.Size(), 4 << 20);
}
