#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "buffer/xp_msg.h"
#include "tests/test_util.h"

using test::Message;

namespace {

// Reads and writes every message of `in` (closed then; bytes: a stream of
// them): the last ReadMsg result, the output and the log. Long bodies
// stream: none is held whole.
using Filtered = std::tuple<int, std::string, std::string>;
Filtered Filter(FILE* in, std::vector<int64_t>* starts = nullptr) {
  FILE *out = test::TempStream(), *log = test::TempStream();
  int last;
  {
    cBlockWriter writer;
    writer.Bind(out);
    cXPMsg msg;
    while ((last = msg.ReadMsg(in, log)) == 0) {
      if (starts != nullptr) starts->push_back(msg.OfsStart);
      EXPECT_LE(msg.Body.Capacity, static_cast<int32_t>(kHeldBody) + 1);
      msg.WriteRawMsg(writer, log);
    }
    writer.Flush();
  }
  Filtered result{last, test::Contents(out), test::Contents(log)};
  for (FILE* stream : {in, out, log}) fclose(stream);
  return result;
}
Filtered Filter(const std::string& bytes) { return Filter(test::StreamOf(bytes)); }

}  // namespace

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
      std::vector<int64_t> starts;
      auto got = Filter(in, &starts);
      int64_t at = static_cast<int64_t>(head.size());
      int64_t next = at + static_cast<int64_t>(second.size());
      starts.resize(4);
      EXPECT_EQ(starts, (std::vector<int64_t>{0, at, next, next + static_cast<int64_t>(third.size())}));
      EXPECT_TRUE(got == std::make_tuple(2, bytes, std::string()))
          << shift << (file ? " file" : " unknown size");
    }
  }
}

// Each limit: a message right at it comes out byte for byte; one byte or
// one line beyond it, it is refused, naming the limit and the offset, and
// nothing of it is written. Reading stops at the limit: a block of 300,000
// lines looks at no more records than the limit allows.
TEST(ReadMsg, HeaderLimitsJustBelowAndAbove) {
  const std::string first = Message({"LEN: 0"}, "");  // the next message begins at 0xA
  const std::string mib = "N: " + std::string(kMaxHeaderLine - 5, 'v') + "\r\n";
  std::string many;
  for (int i = 1; i < kMaxHeaderLines; ++i) many += "N: v\r\n";
  const std::string cases[][3] = {
      {mib, "N: w" + mib.substr(3), "Headerzeile laenger als 1048576 Bytes at A\n"},
      {mib + mib + mib + "N: " + mib.substr(11), mib + mib + mib + "N: " + mib.substr(10),
       "Header laenger als 4194304 Bytes at A\n"},
      {many, many + "N: v\r\n", "Header mit mehr als 20000 Zeilen at A\n"}};
  for (const auto& c : cases) {
    std::string within = first + c[0] + "LEN: 0\r\n\r\n";
    EXPECT_TRUE(Filter(within) == std::make_tuple(2, within, std::string())) << c[2];
    EXPECT_TRUE(Filter(first + c[1] + "LEN: 0\r\n\r\n") == std::make_tuple(1, first, c[2])) << c[2];
  }
  std::string endless = first + "N: " + std::string(3 * kMaxHeaderLine, 'x');
  EXPECT_EQ(std::get<2>(Filter(endless)), "Headerzeile laenger als 1048576 Bytes at A\n");
  std::string lines;
  for (int i = 0; i < 300000; ++i) lines += "A: b\r\n";
  FILE* in = test::StreamOf(lines);
  cXPMsg msg;
  EXPECT_EQ(msg.ReadMsg(in, nullptr), 1);
  EXPECT_LE(msg.Headers.pool.Visits(), 2u * kMaxHeaderLines + 2);
  fclose(in);
}

// Records keep the blocks their values needed only up to kKeptGrowth in
// all, so that message after message of long lines cannot pile up memory.
TEST(HeaderPool, FreeRecordsKeepBoundedBlocks) {
  cHeaders headers;
  std::string value(100000, 'v');
  for (int message = 0; message < 3; ++message) {
    for (int i = 0; i < 200; ++i) ASSERT_TRUE(headers.Add("Name", value.c_str()));
    headers.Clear();
    size_t kept = 0;
    for (int i = 0; i < headers.pool.SlotCount(); ++i) kept += headers.pool.slots[i]->Value.Capacity;
    EXPECT_LE(kept, cHeaderPool::kKeptGrowth + 256u * headers.pool.SlotCount());
  }
}
