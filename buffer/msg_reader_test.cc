#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "buffer/xp_msg.h"
#include "tests/test_util.h"

using test::Message;

// Every place where a read block can end: inside a piece, between CR and
// LF, inside a body, right before a message. From input of unknown size too,
// whose short bodies are held and may cross the block's end.
TEST(ReadMsg, BlockBoundariesChangeNothing) {
  std::string line = "A: " + std::string(600, 'a');
  std::string second = Message({line, "B: b", "LEN: 10"}, "0123456789");
  // Shift 754: a whole header block at the end, its body across, and two
  // blocks' worth behind, so that the reads after it overwrite both blocks.
  std::string third = Message({"C: c", "LEN: 60000"}, std::string(60000, 'c'));
  // Then more messages in one block than the writer takes pieces: rebuilt
  // header blocks (a line too long to pass as read) between ones passed.
  std::string many;
  for (int i = 0; i < 80; ++i) many += second + Message({"D: d", "LEN: 1"}, "d");
  std::string z(2 * kReadBlock + 9000, 'z');
  std::string tail = second + third + Message({"LEN: " + std::to_string(z.size())}, z) + many;
  for (size_t shift : {1, 2, 3, 4, 5, 300, 511, 512, 513, 603, 604, 605, 615, 620, 629, 754}) {
    // "LEN: " and as many digits as the block's size, CR LF CR LF.
    std::string pad(kReadBlock - shift - 9 - std::to_string(kReadBlock).size(), 'p');
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
      cBlockWriter writer;
      writer.Bind(out);
      cXPMsg msg;
      std::vector<int64_t> starts;
      while (msg.ReadMsg(in, stderr) == 0) {
        starts.push_back(msg.OfsStart);
        EXPECT_LE(msg.Body.Capacity, static_cast<int32_t>(kHeldBody) + 1);  // long bodies stream
        ASSERT_EQ(msg.WriteRawMsg(writer, stderr), 0);
      }
      ASSERT_TRUE(writer.Flush());
      int64_t at = static_cast<int64_t>(head.size());
      int64_t next = at + static_cast<int64_t>(second.size());
      starts.resize(4);
      EXPECT_EQ(starts, (std::vector<int64_t>{0, at, next, next + static_cast<int64_t>(third.size())}));
      EXPECT_TRUE(test::Contents(out) == bytes) << shift << (file ? " file" : " unknown size");
      fclose(in);
      fclose(out);
    }
  }
}

namespace {

// Reads and writes every message of `bytes` as an insertion run does: the
// last ReadMsg result, what was written, what went to the log.
struct Filtered {
  int last;
  std::string out, log;
};
Filtered Filter(const std::string& bytes) {
  FILE* in = test::StreamOf(bytes);
  FILE* out = test::TempStream();
  FILE* log = test::TempStream();
  cBlockWriter writer;
  writer.Bind(out);
  cXPMsg msg;
  Filtered result;
  while ((result.last = msg.ReadMsg(in, log)) == 0) EXPECT_EQ(msg.WriteRawMsg(writer, log), 0);
  EXPECT_TRUE(writer.Flush());
  result.out = test::Contents(out);
  result.log = test::Contents(log);
  fclose(in);
  fclose(out);
  fclose(log);
  return result;
}

// Header lines "N: vvv..." of `size` bytes each, CR LF included.
std::vector<std::string> Lines(size_t count, size_t size) {
  return std::vector<std::string>(count, "N: " + std::string(size - 5, 'v'));
}

}  // namespace

// Each limit: a message right at it comes out byte for byte, one byte or
// line beyond it is refused, saying which limit at which offset, and
// nothing of it is written. The first message puts the second at 0xA.
TEST(ReadMsg, HeaderLimitsJustBelowAndAbove) {
  const std::string first = Message({"LEN: 0"}, "");
  std::vector<std::string> line = Lines(1, kMaxHeaderLine);
  std::vector<std::string> block = Lines(4, kMaxHeaderLine);
  block[3].resize(block[3].size() - 8);  // room for "LEN: 0" CR LF
  std::vector<std::string> many = Lines(kMaxHeaderLines - 1, 6);
  struct Case {
    std::vector<std::string> lines;
    std::string beyond;  // a line that adds one byte, or one line
    std::string refused;
  } cases[] = {{line, line[0] + "w", "Headerzeile laenger als 1048576 Bytes at A\n"},
               {block, "LEN: 00", "Header laenger als 4194304 Bytes at A\n"},
               {many, "N: v\r\nLEN: 0", "Header mit mehr als 20000 Zeilen at A\n"}};
  for (Case& c : cases) {
    c.lines.push_back("LEN: 0");
    std::string within = first + Message(c.lines, "");
    Filtered done = Filter(within);
    EXPECT_EQ(done.last, 2);
    EXPECT_TRUE(done.out == within) << c.refused;
    EXPECT_EQ(done.log, "");
    (c.beyond.size() > 100 ? c.lines.front() : c.lines.back()) = c.beyond;
    Filtered refused = Filter(first + Message(c.lines, ""));
    EXPECT_EQ(refused.last, 1);
    EXPECT_TRUE(refused.out == first) << c.refused;
    EXPECT_EQ(refused.log, c.refused);
  }
  // A line far beyond every limit, without an end, and a block of 300,000
  // lines: refused where the limit lies, not read to their end.
  Filtered endless = Filter(first + "N: " + std::string(3 * kMaxHeaderLine, 'x'));
  EXPECT_EQ(endless.last, 1);
  EXPECT_NE(endless.log.find("Headerzeile laenger als 1048576 Bytes at A\n"), std::string::npos);
  std::string lines;
  for (int i = 0; i < 300000; ++i) lines += "A: b\r\n";
  FILE* in = test::StreamOf(lines);
  cXPMsg msg;
  EXPECT_EQ(msg.ReadMsg(in, nullptr), 1);
  EXPECT_LE(msg.Headers.pool.SlotCount(), kMaxHeaderLines + 20);
  EXPECT_LE(msg.Headers.pool.Visits(), 2u * kMaxHeaderLines + 2);
  fclose(in);
}
