#include "face/face_cache.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/test_util.h"

namespace {

bool Decode(cFaceCache& cache, const std::string& text, cString& bmp, std::string* err) {
  cString value;
  value.Assign(text.c_str());
  testing::internal::CaptureStderr();
  bool ok = cache.Decode(value, bmp);
  *err = testing::internal::GetCapturedStderr();
  return ok;
}

}  // namespace

TEST(cFaceCache, RepeatedValuesGiveTheSameImageAndReport) {
  cFaceCache cache;
  std::string err;
  cString first, again;
  ASSERT_TRUE(Decode(cache, test::Face("smiley").value, first, &err));
  ASSERT_TRUE(Decode(cache, test::Face("smiley").value, again, &err));
  EXPECT_EQ(std::string(first.Data, 446), std::string(again.Data, 446));
  std::string broken(1000, '~');
  EXPECT_FALSE(Decode(cache, broken, again, &err));
  EXPECT_EQ(err, "Invalid X-Face Header, uncompface() rc: -2\n");
  EXPECT_FALSE(Decode(cache, broken, again, &err));
  EXPECT_EQ(err, "Invalid X-Face Header, uncompface() rc: -2\n");
  EXPECT_EQ(std::string(again.Data, 446), std::string(first.Data, 446));  // image kept
  EXPECT_EQ(cache.Decompressed(), 2u);
  // Byte-identical only: a blank makes another value, with the same face.
  ASSERT_TRUE(Decode(cache, " " + test::Face("smiley").value, again, &err));
  EXPECT_EQ(cache.Decompressed(), 3u);
}

TEST(cFaceCache, StaysWithinItsBudget) {
  cFaceCache cache(1500);
  std::string err;
  cString bmp;
  auto faces = test::SampleFaces();
  for (int round = 0; round < 3; ++round) {
    for (const test::SampleFace& face : faces) ASSERT_TRUE(Decode(cache, face.value, bmp, &err));
  }
  EXPECT_LE(cache.Bytes(), 1500u);
  EXPECT_LT(cache.Entries(), faces.size());
  // Every value came back and was decoded again once evicted.
  EXPECT_EQ(cache.Decompressed(), 3 * faces.size());
}
