#include "face/xface.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "face/bmp.h"
#include "tests/test_util.h"

namespace {

// The bitmap a BMP face file shows, top row first, read back from the file
// bytes alone (rows stored bottom-up, 8 bytes each).
std::string BitmapOfBmp(const cString& bmp) {
  std::string rows;
  for (int r = 47; r >= 0; --r) rows.append(bmp.Data + 62 + 8 * r, 6);
  return rows;
}

// The bitmap that uncompface's text describes, parsed with sscanf.
std::string BitmapOfHex(const std::string& text) {
  std::string rows;
  char* copy = strdup(text.c_str());
  for (char* token = strtok(copy, ",\n\r"); token != nullptr; token = strtok(nullptr, ",\n\r")) {
    unsigned word = 0;
    sscanf(token, "%x", &word);
    rows += static_cast<char>(word >> 8);
    rows += static_cast<char>(word & 0xFF);
  }
  free(copy);
  rows.resize(288, '\0');
  return rows;
}

std::string Decode(const std::string& value, cString& bmp, bool* ok) {
  cString text;
  text.Assign(value.c_str());
  testing::internal::CaptureStderr();
  *ok = DecodeFace(text, bmp);
  return testing::internal::GetCapturedStderr();
}

}  // namespace

TEST(DecodeFace, SampleFacesArePixelExact) {
  auto faces = test::SampleFaces();
  ASSERT_GE(faces.size(), 6u);
  cString bmp;
  for (const test::SampleFace& face : faces) {
    bool ok = false;
    EXPECT_EQ(Decode(face.value, bmp, &ok), "") << face.name;
    ASSERT_TRUE(ok) << face.name;
    EXPECT_EQ(bmp.Length, 447);
    EXPECT_EQ(BitmapOfBmp(bmp), BitmapOfHex(face.hexText)) << face.name;
  }
  // Only the top-left pixel: the last stored row's first byte.
  bool ok = false;
  Decode(test::Face("topleft").value, bmp, &ok);
  EXPECT_EQ(static_cast<unsigned char>(bmp.Data[438]), 0x80);
  for (int i = 62; i < 446; ++i) {
    if (i != 438) {
      EXPECT_EQ(bmp.Data[i], 0) << i;
    }
  }
}

TEST(DecodeFace, BlanksAndTabsInsideTheValueDoNotMatter) {
  std::string value = test::Face("smiley").value;
  std::string spaced;
  for (size_t i = 0; i < value.size(); ++i) spaced += value.substr(i, 1) + (i % 7 ? "" : " \t");
  cString plain, loose;
  bool ok1 = false, ok2 = false;
  Decode(value, plain, &ok1);
  Decode(spaced, loose, &ok2);
  ASSERT_TRUE(ok1 && ok2);
  EXPECT_EQ(memcmp(plain.Data, loose.Data, 446), 0);
}

TEST(DecodeFace, UndecodableValueLeavesTheImageAlone) {
  cString bmp;
  bool ok = false;
  Decode(test::Face("black").value, bmp, &ok);
  std::string before(bmp.Data, 446);
  EXPECT_EQ(Decode(std::string(3000, '~'), bmp, &ok),
            "Invalid X-Face Header, uncompface() rc: -2\n");
  EXPECT_FALSE(ok);
  EXPECT_EQ(std::string(bmp.Data, 446), before);
}

TEST(ParseFaceHex, WordCountRules) {
  FaceBitmap bitmap;
  memset(bitmap.bytes, 0, sizeof bitmap.bytes);
  char few[] = "0xFFFF,0x8001,\n";
  EXPECT_EQ(ParseFaceHex(few, bitmap), kFaceDecoded);
  EXPECT_EQ(bitmap.bytes[0], 0xFF);
  EXPECT_EQ(bitmap.bytes[3], 0x01);
  EXPECT_EQ(bitmap.bytes[4], 0);  // words not given stay white
  std::string many;
  for (int i = 0; i < 145; ++i) many += "0x0001,";
  EXPECT_EQ(ParseFaceHex(&many[0], bitmap), kFaceTooManyWords);
  std::string exact = many.substr(0, 144 * 7);
  EXPECT_EQ(ParseFaceHex(&exact[0], bitmap), kFaceDecoded);
  char bad[] = "0x0001,zz,";
  EXPECT_EQ(ParseFaceHex(bad, bitmap), kFaceBadWord);
  char none[] = ",\r\n,";
  EXPECT_EQ(ParseFaceHex(none, bitmap), kFaceDecoded);
}

TEST(ReportFaceFailure, OneLinePerKind) {
  testing::internal::CaptureStderr();
  for (FaceFailure f : {kFaceDecoded, kFaceNoMemory, kFaceUncompress, kFaceBadWord,
                        kFaceTooManyWords})
    ReportFaceFailure(f, -2);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "new chr[] failed\nInvalid X-Face Header, uncompface() rc: -2\n"
            "Invalid X-Face Header\nInvalid X-Face Header(i > 48*6 - 2)\n");
}

TEST(ScanHexWord, ReadsLikeScanfHex) {
  const char* tokens[] = {"0x1F", "0X1f", "ABCD", " \t12", "0x",  "0xg",   "-1",     "+ff",
                          "-0x10", "x1",  "-",    "g",     "",    "  ",    "12345678901234567890123",
                          "7fffffff", "0x-1", "00000000000000000001ffff"};
  for (const char* token : tokens) {
    unsigned wanted = 0xDEAD;
    int scanned = sscanf(token, "%x", &wanted);
    uint32_t word = 0xDEAD;
    bool ok = ScanHexWord(token, &word);
    EXPECT_EQ(ok, scanned == 1) << token;
    if (ok) {
      EXPECT_EQ(word, wanted) << token;
    }
  }
}

TEST(FindFaceHeader, FirstHeaderInAnyCase) {
  cXPMsg msg;
  msg.AddHeader("EMP", "x");
  msg.AddHeader("x-face", "first");
  msg.AddHeader("X-Face", "second");
  cString value;
  FindFaceHeader(msg, value);
  EXPECT_STREQ(value.Text(), "first");
  cXPMsg none;
  none.AddHeader("X-Faces", "no");
  FindFaceHeader(none, value);
  EXPECT_TRUE(value.Empty());
}

// Real faces from public mail, where the file is there: each must decode
// exactly as the compface command-line tool decodes it.
TEST(DecodeFace, PublicFacesMatchTheCommandLineTool) {
  std::ifstream in(std::string(KIVEX_TEST_DATA) + "/../../../shared/testdata/xfaces-public.tsv");
  if (!in) GTEST_SKIP() << "public face values not present";
  std::string line;
  int checked = 0;
  cString bmp;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::string value = line.substr(line.find('\t') + 1);
    test::ScratchDir dir;
    test::WriteFile(dir.File("in"), value + "\n");
    std::string command = "uncompface < " + dir.File("in") + " > " + dir.File("out") + " 2>/dev/null";
    bool toolOk = system(command.c_str()) == 0;
    bool ok = false;
    Decode(value, bmp, &ok);
    if (!toolOk) continue;
    ASSERT_TRUE(ok) << value;
    EXPECT_EQ(BitmapOfBmp(bmp), BitmapOfHex(test::ReadFile(dir.File("out")))) << value;
    ++checked;
  }
  EXPECT_GE(checked, 18);
}
