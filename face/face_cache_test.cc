#include "face/face_cache.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/test_util.h"

// Repeats give the same image, or the same report, without decoding again;
// the cache stays within its budget and decodes evicted values again.
TEST(cFaceCache, RepeatsAndBudget) {
  cFaceCache cache(1500);
  std::vector<std::string> faces = test::SampleFaces();
  cString first, again, value;
  value.Assign(faces[4].c_str());  // the smiley
  ASSERT_TRUE(cache.Decode(value, first));
  ASSERT_TRUE(cache.Decode(value, again));
  EXPECT_EQ(std::string(first.Data, 446), std::string(again.Data, 446));
  value.Assign(std::string(1000, '~').c_str());
  for (int i = 0; i < 2; ++i) {
    testing::internal::CaptureStderr();
    EXPECT_FALSE(cache.Decode(value, again));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Invalid X-Face Header, uncompface() rc: -2\n");
  }
  EXPECT_EQ(cache.Decompressed(), 2u);
  for (int round = 0; round < 3; ++round) {
    for (const std::string& face : faces) {
      value.Assign(face.c_str());
      ASSERT_TRUE(cache.Decode(value, again));
    }
  }
  EXPECT_LE(cache.Bytes(), 1500u);
  EXPECT_EQ(cache.Decompressed(), 2 + 3 * faces.size());
}
