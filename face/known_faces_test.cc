#include "face/known_faces.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "tests/test_util.h"

namespace {

std::string Prepare(const std::string& dir, KnownFaceSet& set, bool* ok) {
  cString name;
  name.Assign(dir.c_str());
  testing::internal::CaptureStderr();
  *ok = PrepareExtractionDir(name, set);
  std::string err = testing::internal::GetCapturedStderr();
  if (*ok) {
    EXPECT_EQ(std::string(name.Text()), dir.back() == '/' ? dir : dir + "/");
  }
  return err;
}

}  // namespace

TEST(Crc64, CheckValues) {
  EXPECT_EQ(Crc64(0, reinterpret_cast<const unsigned char*>("123456789"), 9),
            0x46A5A9388A5BEFFEULL);
  EXPECT_EQ(Crc64(0, nullptr, 0), 0u);
}

TEST(KnownFaceSet, GrowsTwoHundredAtATime) {
  KnownFaceSet set;
  for (uint64_t i = 1; i <= 201; ++i) ASSERT_TRUE(AddFingerprint(set, i));
  EXPECT_EQ(set.capacity, 400u);
  EXPECT_TRUE(ContainsFingerprint(set, 201));
  EXPECT_FALSE(ContainsFingerprint(set, 0));
  FreeKnownFaceSet(set);
}

TEST(PrepareExtractionDir, FingerprintsEveryFileOnce) {
  test::ScratchDir dir;
  std::string face(446, 'f');
  test::WriteFile(dir.File("KIVO0000.BMP"), face);
  test::WriteFile(dir.File("copy.bmp"), face);
  test::WriteFile(dir.File("empty"), "");
  std::string big(5000, 'b');
  big[2000] = 'X';  // beyond the fingerprinted part
  test::WriteFile(dir.File("big"), big);
  KnownFaceSet set;
  bool ok = false;
  EXPECT_EQ(Prepare(dir.path(), set, &ok), "");
  EXPECT_TRUE(ok);
  EXPECT_EQ(set.count, 3u);
  EXPECT_TRUE(ContainsFingerprint(set, 0));
  EXPECT_TRUE(ContainsFingerprint(set, Crc64(0, reinterpret_cast<const unsigned char*>(big.data()), 1024)));
  FreeKnownFaceSet(set);
  // A trailing separator is not doubled; an empty directory gives no prints.
  test::ScratchDir empty;
  KnownFaceSet none;
  EXPECT_EQ(Prepare(empty.path() + "/", none, &ok), "");
  EXPECT_TRUE(ok);
  EXPECT_EQ(none.count, 0u);
}

TEST(PrepareExtractionDir, DirectoryErrors) {
  test::ScratchDir dir;
  KnownFaceSet set;
  bool ok = true;
  std::string missing = dir.File("fehlt");
  EXPECT_EQ(Prepare(missing, set, &ok),
            "Das angegebene Extraktionsverzeichnis " + missing +
                " existiert nicht\nNo such file or directory (2)\n");
  EXPECT_FALSE(ok);
  test::WriteFile(dir.File("datei"), "x");
  EXPECT_EQ(Prepare(dir.File("datei"), set, &ok),
            "Das angegebene Extraktiosverzeichnis " + dir.File("datei") + " ist kein Verzeichnis\n");
  EXPECT_FALSE(ok);
  // A subdirectory cannot be read as a file.
  mkdir(dir.File("sub").c_str(), 0755);
  test::ScratchDir withSub;
  mkdir(withSub.File("sub").c_str(), 0755);
  EXPECT_EQ(Prepare(withSub.path(), set, &ok), "read() failed\n");
  EXPECT_FALSE(ok);
  FreeKnownFaceSet(set);
}
