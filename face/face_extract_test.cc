#include "face/face_extract.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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
  bool Write(std::string* err = nullptr) {
    testing::internal::CaptureStderr();
    bool ok = WriteFaceFile(dirName, bmp);
    std::string text = testing::internal::GetCapturedStderr();
    if (err != nullptr) *err = text;
    return ok;
  }
  test::ScratchDir dir;
  cString dirName;
  cString bmp;
};

}  // namespace

TEST(WriteFaceFile, NumbersRiseAndSkipTakenNames) {
  Extraction x;
  test::WriteFile(x.dir.File("KIVO0000.BMP"), "old");
  test::WriteFile(x.dir.File("KIVO0002.BMP"), "old");
  test::WriteFile(x.dir.File("other.bmp"), "old");
  ASSERT_TRUE(x.Write());
  EXPECT_EQ(std::string(LastFaceFileName()), x.dir.File("KIVO0001.BMP"));
  ASSERT_TRUE(x.Write());
  EXPECT_EQ(std::string(LastFaceFileName()), x.dir.File("KIVO0003.BMP"));
  EXPECT_EQ(test::ReadFile(x.dir.File("KIVO0003.BMP")), std::string(x.bmp.Data, 446));
  EXPECT_EQ(test::ReadFile(x.dir.File("KIVO0002.BMP")), "old");
  // A gap opened below the last number is not filled again in this run.
  remove(x.dir.File("KIVO0000.BMP").c_str());
  ASSERT_TRUE(x.Write());
  EXPECT_EQ(std::string(LastFaceFileName()), x.dir.File("KIVO0004.BMP"));
}

TEST(WriteFaceFile, TenThousandFilesAreTheLimit) {
  Extraction x;
  char name[32];
  for (int i = 0; i < 10000; ++i) {
    snprintf(name, sizeof name, "KIVO%04d.BMP", i);
    FILE* f = fopen(x.dir.File(name).c_str(), "wb");
    fclose(f);
  }
  std::string err;
  EXPECT_FALSE(x.Write(&err));
  EXPECT_EQ(err,
            "Im Extraktionsverzeichnis konnte kein freier Dateiname bestimmt werden "
            "(more than 10000 files)\n");
}

TEST(WriteFaceFile, FailuresAreReportedAndLeaveNoBrokenFile) {
  Extraction x;
  std::string err;
  platform::SetFault(platform::kFaultOpen, 1, false, EACCES);
  EXPECT_FALSE(x.Write(&err));
  EXPECT_EQ(err, "Datei " + x.dir.File("KIVO0000.BMP") +
                     " konnte nicht geoeffnet werden\nPermission denied (13)\n");
  // A failed number is not tried again.
  for (int op : {platform::kFaultWrite, platform::kFaultClose}) {
    platform::SetFault(op, 1, false, ENOSPC);
    EXPECT_FALSE(x.Write(&err));
    std::string name = LastFaceFileName();
    EXPECT_EQ(err, "Datei " + name + " konnte nicht geschrieben werden\n");
    EXPECT_FALSE(test::Exists(name));
  }
  platform::ClearFault();
  ASSERT_TRUE(x.Write());
  EXPECT_EQ(std::string(LastFaceFileName()), x.dir.File("KIVO0003.BMP"));
}
