#include "face/filter_loop.h"

#include <gtest/gtest.h>

#include <string>

#include "buffer/xp_msg.h"
#include "tests/test_util.h"

namespace {

// One -k pass over `in` (which it closes); the bytes it wrote.
std::string Pass(FILE* in, RunCounters& counters) {
  test::ScratchDir dir;
  cFileStream input, output;
  input.File = in;
  EXPECT_EQ(output.Open(dir.File("out.puf").c_str(), "wb", kStreamBuffer), 0);
  KnownFaceSet known;
  cString unused;
  EXPECT_TRUE(FilterBuffer(false, input, output, unused, known, counters));
  EXPECT_EQ(output.Close(), 0);
  return test::ReadFile(dir.File("out.puf"));
}

}  // namespace

// The face message behind its source is recognised wherever the read block
// ends in it: in its header block, in its body, at either's edge; from a
// file (its body pending) and from input of unknown size (its body held).
// One that differs only in its body's last byte is kept, as read, behind a
// new one.
TEST(FilterBuffer, FaceMessageAlreadyThereWhereverTheBlockEnds) {
  std::string source = test::Message(
      {"EMP: e", "MID: m@x", "X-Face: " + test::SampleFaces()[4], "LEN: 1"}, "b");
  RunCounters counters;
  std::string filtered = Pass(test::StreamOf(source), counters);
  ASSERT_EQ(counters.faceMsgsWritten, 1);
  size_t faceMsg = filtered.size() - source.size();
  std::string changed = filtered;
  changed.back() ^= 1;
  std::string tail = test::Message({"LEN: 0"}, "");
  for (size_t shift : {faceMsg, faceMsg - 1, faceMsg - 2, size_t{447}, size_t{446}, size_t{445},
                       size_t{200}, size_t{1}}) {
    // "LEN: " and as many digits as the block's size, CR LF CR LF.
    std::string pad(kReadBlock - shift - source.size() - 9 - std::to_string(kReadBlock).size(), 'p');
    std::string head = test::Message({"LEN: " + std::to_string(pad.size())}, pad);
    ASSERT_EQ(head.size() + source.size() + shift, kReadBlock);
    for (bool file : {true, false}) {
#ifdef _WIN32
      if (!file) continue;
#endif
      for (const std::string* given : {&filtered, &changed}) {
        std::string bytes = head + *given + tail;
        SCOPED_TRACE(std::to_string(shift) + (file ? " file" : " unknown size") +
                     (given == &changed ? " changed" : ""));
#ifdef _WIN32
        FILE* in = test::StreamOf(bytes);
#else
        FILE* in = file ? test::StreamOf(bytes) : fmemopen(&bytes[0], bytes.size(), "rb");
#endif
        RunCounters again;
        std::string out = Pass(in, again);
        if (given == &filtered) {
          EXPECT_TRUE(out == bytes);
          EXPECT_EQ(again.faceMsgsWritten, 0);
        } else {
          EXPECT_EQ(again.faceMsgsWritten, 1);
          // The new one's MID may be longer: serials count on in this process.
          EXPECT_GE(out.size(), bytes.size() + faceMsg);
          EXPECT_TRUE(out.compare(0, head.size() + source.size(), head + source) == 0);
          EXPECT_TRUE(out.compare(out.size() - faceMsg - tail.size(), std::string::npos,
                                  changed.substr(source.size()) + tail) == 0);
        }
      }
    }
  }
}
