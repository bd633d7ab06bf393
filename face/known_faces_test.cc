#include "face/known_faces.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/env.h"
#include "tests/test_util.h"

TEST(Crc64, CheckValues) {
  EXPECT_EQ(Crc64(0, reinterpret_cast<const unsigned char*>("123456789"), 9),
            0x46A5A9388A5BEFFEULL);
  EXPECT_EQ(Crc64(0, nullptr, 0), 0u);
  KnownFaceSet set;
  for (uint64_t i = 1; i <= 201; ++i) ASSERT_TRUE(AddFingerprint(set, i));
  EXPECT_EQ(set.capacity, 400u);  // grows 200 at a time
  EXPECT_TRUE(ContainsFingerprint(set, 201));
  EXPECT_FALSE(ContainsFingerprint(set, 0));
  FreeKnownFaceSet(set);
}

TEST(PrepareExtractionDir, FingerprintsTheFirstKilobyteOfEveryFileOnce) {
  test::ScratchDir dir;
  std::string face(446, 'f');
  test::WriteFile(dir.File("KIVO0000.BMP"), face);
  test::WriteFile(dir.File("copy.bmp"), face);
  test::WriteFile(dir.File("empty"), "");
  std::string big(5000, 'b');
  big[2000] = 'X';
  test::WriteFile(dir.File("big"), big);
  KnownFaceSet set;
  cString name;
  name.Assign(dir.path().c_str());
  ASSERT_TRUE(PrepareExtractionDir(name, set));
  EXPECT_EQ(std::string(name.Text()), dir.path() + platform::kSeparator);
  EXPECT_EQ(set.count, 3u);
  EXPECT_TRUE(ContainsFingerprint(set, 0));
  EXPECT_TRUE(ContainsFingerprint(
      set, Crc64(0, reinterpret_cast<const unsigned char*>(big.data()), 1024)));
  ASSERT_TRUE(PrepareExtractionDir(name, set));  // the separator is not doubled
  EXPECT_EQ(std::string(name.Text()), dir.path() + platform::kSeparator);
  test::MakeDir(dir.File("sub"));  // cannot be read as a file
  testing::internal::CaptureStderr();
  EXPECT_FALSE(PrepareExtractionDir(name, set));
#ifdef _WIN32
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "fopen(" + dir.path() + "\\sub) failed\n");
#else
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "read() failed\n");
#endif
  FreeKnownFaceSet(set);
}
