#include "face/face_extract.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/fault.h"
#include "tests/test_util.h"

namespace {

struct Extraction {
  Extraction() {
    dirName.Assign((dir.path() + "/").c_str());
    bmp.Resize(447);
    for (int i = 0; i < 447; ++i) bmp.Data[i] = static_cast<char>(i);
    RestartFaceFileNumbers();
  }
  bool Write(std::string* err) {
    testing::internal::CaptureStderr();
    bool ok = WriteFaceFile(dirName, bmp);
    *err = testing::internal::GetCapturedStderr();
    return ok;
  }
  std::string Last() { return LastFaceFileName(); }
  test::ScratchDir dir;
  cString dirName;
  cString bmp;
  std::string err;
};

}  // namespace

TEST(WriteFaceFile, NumbersRiseAndNeverOverwrite) {
  Extraction x;
  test::WriteFile(x.dir.File("KIVO0000.BMP"), "old");
  test::WriteFile(x.dir.File("KIVO0002.BMP"), "old");
  ASSERT_TRUE(x.Write(&x.err));
  EXPECT_EQ(x.Last(), x.dir.File("KIVO0001.BMP"));
  ASSERT_TRUE(x.Write(&x.err));
  EXPECT_EQ(x.Last(), x.dir.File("KIVO0003.BMP"));
  EXPECT_EQ(test::ReadFile(x.Last()), std::string(x.bmp.Data, 446));
  EXPECT_EQ(test::ReadFile(x.dir.File("KIVO0002.BMP")), "old");
  // Failures: the number is used up, and no broken file is left.
  platform::SetFault(platform::kFaultOpen, 1, false, EACCES);
  EXPECT_FALSE(x.Write(&x.err));
  EXPECT_EQ(x.err, "Datei " + x.dir.File("KIVO0004.BMP") +
                       " konnte nicht geoeffnet werden\nPermission denied (13)\n");
  for (int op : {platform::kFaultWrite, platform::kFaultClose}) {
    platform::SetFault(op, 1, false, ENOSPC);
    EXPECT_FALSE(x.Write(&x.err));
    EXPECT_EQ(x.err, "Datei " + x.Last() + " konnte nicht geschrieben werden\n");
    EXPECT_FALSE(test::Exists(x.Last()));
  }
  platform::ClearFault();
  ASSERT_TRUE(x.Write(&x.err));
  EXPECT_EQ(x.Last(), x.dir.File("KIVO0007.BMP"));
}

TEST(WriteFaceFile, TenThousandFilesAreTheLimit) {
#ifdef _WIN32
  GTEST_SKIP() << "10,000 files take half a minute under Wine; no platform code of its own";
#endif
  Extraction x;
  char name[32];
  for (int i = 0; i < 10000; ++i) {
    snprintf(name, sizeof name, "KIVO%04d.BMP", i);
    fclose(fopen(x.dir.File(name).c_str(), "wb"));
  }
  EXPECT_FALSE(x.Write(&x.err));
  EXPECT_EQ(x.err,
            "Im Extraktionsverzeichnis konnte kein freier Dateiname bestimmt werden "
            "(more than 10000 files)\n");
}
