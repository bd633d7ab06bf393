#include "face/filter_loop.h"

#include <gtest/gtest.h>

#include <string>

#include "face/face_extract.h"
#include "run/command_line.h"
#include "tests/test_util.h"

using test::Message;

namespace {

struct Filtering {
  // Runs the loop over `buffer` in insertion mode (into a file) or, with
  // extraction, into the scratch directory.
  bool Run(const std::string& buffer, bool extract) {
    test::WriteFile(dir.File("in.puf"), buffer);
    cFileStream in, out;
    EXPECT_EQ(in.Open(dir.File("in.puf").c_str(), "rb", 0), 0);
    if (!extract) {
      EXPECT_EQ(out.Open(dir.File("out.puf").c_str(), "wb", 0), 0);
    }
    cString extractDir;
    extractDir.Assign((dir.path() + "/").c_str());
    RestartFaceFileNumbers();
    testing::internal::CaptureStderr();
    bool ok = FilterBuffer(extract ? OPT_EXTRACT : OPT_INSERT, in, out, extractDir, known, counters);
    err = testing::internal::GetCapturedStderr();
    return ok;
  }
  std::string Output() { return test::ReadFile(dir.File("out.puf")); }
  ~Filtering() { FreeKnownFaceSet(known); }

  test::ScratchDir dir;
  KnownFaceSet known;
  RunCounters counters;
  std::string err;
};

std::string WithFace(const std::string& face, const std::string& body = "b") {
  return Message({"EMP: /t", "BET: s", "X-Face: " + face, "LEN: " + std::to_string(body.size())},
                 body);
}

}  // namespace

TEST(FilterBuffer, EmptyBufferChangesNothing) {
  Filtering f;
  EXPECT_TRUE(f.Run("", false));
  EXPECT_EQ(f.Output(), "");
  EXPECT_EQ(f.counters.msgsRead, 0);
}

TEST(FilterBuffer, MessagesWithoutFacesAreCopiedAlone) {
  std::string buffer = Message({"EMP: /t", "X-Face: ", "LEN: 3"}, "abc") + Message({"LEN: 0"}, "");
  Filtering f;
  EXPECT_TRUE(f.Run(buffer, false));
  EXPECT_EQ(f.Output(), buffer);
  EXPECT_EQ(f.counters.msgsRead, 2);
  EXPECT_EQ(f.counters.facesTotal, 0);  // an empty value is no face
}

TEST(FilterBuffer, FaceMessageFollowsItsMessage) {
  std::string good = WithFace(test::Face("smiley").value);
  std::string bad = WithFace(std::string(1000, '~'));
  std::string plain = Message({"LEN: 1"}, "p");
  Filtering f;
  EXPECT_TRUE(f.Run(good + bad + plain, false));
  EXPECT_EQ(f.err, "Invalid X-Face Header, uncompface() rc: -2\n");
  std::string out = f.Output();
  ASSERT_EQ(out.substr(0, good.size()), good);
  size_t faceEnd = out.find("LEN: 446\r\n\r\n") + 12 + 446;
  EXPECT_EQ(out.substr(good.size(), 25), "EMP: /t\r\nBET: [face]  s\r\n");
  EXPECT_EQ(out.substr(faceEnd), bad + plain);
  EXPECT_EQ(f.counters.facesTotal, 2);
  EXPECT_EQ(f.counters.faceMsgsWritten, 1);
}

TEST(FilterBuffer, ExtractionStoresEachFaceOnce) {
  std::string smiley = WithFace(test::Face("smiley").value);
  std::string corners = WithFace(test::Face("corners").value);
  Filtering f;
  EXPECT_TRUE(f.Run(smiley + corners + smiley, true));
  EXPECT_EQ(f.counters.facesTotal, 3);
  EXPECT_EQ(f.counters.facesWritten, 2);
  EXPECT_EQ(f.counters.facesDuplicate, 1);
  EXPECT_TRUE(test::Exists(f.dir.File("KIVO0001.BMP")));
  EXPECT_FALSE(test::Exists(f.dir.File("KIVO0002.BMP")));
}

TEST(FilterBuffer, ReadErrorStopsAfterTheMessagesBefore) {
  std::string first = Message({"LEN: 1"}, "x");
  Filtering f;
  EXPECT_FALSE(f.Run(first + Message({"EMP: no length"}, ""), false));
  EXPECT_EQ(f.err, "Keine Laengenangabe im Header\nEs ist ein Fehler aufgetreten, siehe Logdatei\n");
  EXPECT_EQ(f.Output(), first);
}
