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

TEST(cFaceCache, RepeatsGiveTheSameImageOrReportWithoutDecoding) {
  cFaceCache cache;
  std::string err;
  cString first, again;
  ASSERT_TRUE(Decode(cache, test::Face("smiley").value, first, &err));
  ASSERT_TRUE(Decode(cache, test::Face("smiley").value, again, &err));
  EXPECT_EQ(std::string(first.Data, 446), std::string(again.Data, 446));
  for (int i = 0; i < 2; ++i) {
    EXPECT_FALSE(Decode(cache, std::string(1000, '~'), again, &err));
    EXPECT_EQ(err, "Invalid X-Face Header, uncompface() rc: -2\n");
  }
  EXPECT_EQ(cache.Decompressed(), 2u);
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
  EXPECT_EQ(cache.Decompressed(), 3 * faces.size());  // evicted values decode again
}
