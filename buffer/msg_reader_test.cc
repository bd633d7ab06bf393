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
