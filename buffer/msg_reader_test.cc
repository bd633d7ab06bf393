#include <gtest/gtest.h>

#include <string>
#include <vector>

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
  // Held, or written out from the input.
  std::string Body() {
    if (msg.BodyPending == 0) return std::string(msg.Body.Data, msg.Body.Size());
    FILE* out = test::TempStream();
    EXPECT_EQ(msg.WriteRawBody(out, stderr), 0);
    std::string bytes = test::Contents(out);
    fclose(out);
    return bytes;
  }

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
  EXPECT_EQ(r.msg.OfsEnde, static_cast<int64_t>(first.size()));
  EXPECT_EQ(r.Body(), body);
  ASSERT_EQ(r.Next(), 0);
  EXPECT_EQ(r.msg.OfsStart, static_cast<int64_t>(first.size()));
  EXPECT_EQ(r.Body(), "");
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
  for (std::string len : {"4000000000", "-1", "4294967297", "70000"}) {
    Reading r(Message({"LEN: " + len}, body));
    EXPECT_EQ(r.Next(), 1) << len;
    EXPECT_LE(r.msg.Body.Capacity, static_cast<int32_t>(kHeldBody) + 1) << len;
    EXPECT_NE(r.Log().find(", gelesen wurden 1000 Bytes\n"), std::string::npos) << len;
  }
}

// A large body is never held: it goes from the input to the output when the
// message is written, and is skipped when it is not.
TEST(ReadMsg, LargeBodiesStreamThrough) {
  std::string big(3 << 20, 'q');
  big[5] = '\0';
  std::string first = Message({"LEN: " + std::to_string(big.size())}, big);
  for (bool write : {true, false}) {
    Reading r(first + Message({"EMP: next", "LEN: 2"}, "ok"));
    ASSERT_EQ(r.Next(), 0);
    EXPECT_EQ(r.msg.BodyPending, big.size());
    EXPECT_LE(r.msg.Body.Capacity, static_cast<int32_t>(kHeldBody) + 1);
    EXPECT_EQ(r.msg.OfsEnde, static_cast<int64_t>(first.size()));
    if (write) {
      FILE* out = test::TempStream();
      ASSERT_EQ(r.msg.WriteRawMsg(out, stderr), 0);
      EXPECT_TRUE(test::Contents(out) == first);
      fclose(out);
    }
    ASSERT_EQ(r.Next(), 0);
    EXPECT_EQ(r.Value(0), "next");
    EXPECT_EQ(r.Body(), "ok");
  }
}

#ifndef _WIN32
// Input that cannot tell its size shows a short body only while copying it:
// the output is then cut back to where the message began.
TEST(ReadMsg, ShortBodyOfUnknownSizeIsTakenBack) {
  std::string bytes = Message({"LEN: 200000"}, std::string(150000, 'x'));
  FILE* in = fmemopen(&bytes[0], bytes.size(), "rb");
  FILE* out = test::TempStream();
  fputs("before", out);
  FILE* log = test::TempStream();
  cXPMsg msg;
  ASSERT_EQ(msg.ReadMsg(in, log), 0);
  EXPECT_EQ(msg.WriteRawMsg(out, stderr), 1);
  EXPECT_TRUE(msg.BodyShort);
  EXPECT_EQ(test::Contents(out), "before");
  EXPECT_EQ(test::Contents(log).substr(0, 109),
            "Nachrichtenkoerper konnte nicht komplett gelesen werden\n"
            "Laenge soll sein 200000, gelesen wurden 150000 Bytes\n");
  for (FILE* f : {in, out, log}) fclose(f);
}
#endif

// Every place where a read block can end: inside a piece, between CR and
// LF, inside a body, right before a message. From input of unknown size too,
// whose short bodies are held and may cross the block's end.
TEST(ReadMsg, BlockBoundariesChangeNothing) {
  std::string line = "A: " + std::string(600, 'a');
  std::string second = Message({line, "B: b", "LEN: 10"}, "0123456789");
  // Shift 754: a whole header block at the end, its body across, and a
  // block's worth behind, so that the next read overwrites all of it.
  std::string third = Message({"C: c", "LEN: 60000"}, std::string(60000, 'c'));
  std::string tail = second + third + Message({"LEN: 270000"}, std::string(270000, 'z'));
  for (size_t shift : {1, 2, 3, 4, 5, 300, 511, 512, 513, 603, 604, 605, 615, 620, 629, 754}) {
    std::string pad(kReadBlock - shift - 15, 'p');  // "LEN: 262nnn" CR LF CR LF: 15 bytes
    std::string head = Message({"LEN: " + std::to_string(pad.size())}, pad);
    ASSERT_EQ(head.size() + shift, kReadBlock);
    std::string bytes = head + tail;
    for (bool file : {true, false}) {
#ifdef _WIN32
      if (!file) continue;
      FILE* in = test::StreamOf(bytes);
#else
      FILE* in = file ? test::StreamOf(bytes) : fmemopen(&bytes[0], bytes.size(), "rb");
#endif
      FILE* out = test::TempStream();
      cXPMsg msg;
      std::vector<int64_t> starts;
      while (msg.ReadMsg(in, stderr) == 0) {
        starts.push_back(msg.OfsStart);
        ASSERT_EQ(msg.WriteRawMsg(out, stderr), 0);
      }
      int64_t at = static_cast<int64_t>(head.size());
      int64_t next = at + static_cast<int64_t>(second.size());
      EXPECT_EQ(starts, (std::vector<int64_t>{0, at, next, next + static_cast<int64_t>(third.size())}));
      EXPECT_TRUE(test::Contents(out) == bytes) << shift << (file ? " file" : " unknown size");
      fclose(in);
      fclose(out);
    }
  }
}
