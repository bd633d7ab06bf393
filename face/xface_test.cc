#include "face/xface.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "tests/test_util.h"

namespace {

// The picture a BMP face file shows, top row first, from its bytes alone.
std::string PictureOfBmp(const cString& bmp) {
  std::string rows;
  for (int r = 47; r >= 0; --r) rows.append(bmp.Data + 62 + 8 * r, 6);
  return rows;
}

// The picture uncompface's text describes, read with sscanf.
std::string PictureOfHex(const std::string& text) {
  std::string rows;
  unsigned word;
  for (size_t at = 0; at < text.size() && sscanf(text.c_str() + at, "%x", &word) == 1;) {
    rows += static_cast<char>(word >> 8);
    rows += static_cast<char>(word);
    at = text.find(',', at);
    if (at == std::string::npos) break;
    ++at;
  }
  return rows;
}

bool Decode(const std::string& text, cString& bmp, std::string* err = nullptr) {
  cString value;
  value.Assign(text.c_str());
  testing::internal::CaptureStderr();
  bool ok = DecodeFace(value, bmp);
  std::string report = testing::internal::GetCapturedStderr();
  if (err != nullptr) *err = report;
  return ok;
}

}  // namespace

// Pixel exactness against the compface tool is the end-to-end suite's; here
// the top-left pixel's place, and what a failure leaves.
TEST(DecodeFace, FirstPixelAndFailures) {
  cString bmp;
  ASSERT_TRUE(Decode(test::Face("topleft").value, bmp));
  EXPECT_EQ(std::string(bmp.Data + 62, 384), std::string(376, '\0') + "\x80" + std::string(7, '\0'));
  std::string black = test::Face("black").value;
  ASSERT_TRUE(Decode(black.substr(0, 5) + " \t" + black.substr(5), bmp));  // blanks are skipped
  std::string err;
  EXPECT_FALSE(Decode(std::string(3000, '~'), bmp, &err));
  EXPECT_EQ(err, "Invalid X-Face Header, uncompface() rc: -2\n");
  EXPECT_EQ(std::string(bmp.Data + 62, 8), std::string("\xFF\xFF\xFF\xFF\xFF\xFF\0\0", 8));
}

TEST(ParseFaceHex, WordRules) {
  FaceBitmap bitmap;
  memset(bitmap.bytes, 0, sizeof bitmap.bytes);
  char few[] = "0xFFFF,0x8001,\n";
  EXPECT_EQ(ParseFaceHex(few, bitmap), kFaceDecoded);
  EXPECT_EQ(bitmap.bytes[3] + bitmap.bytes[4], 1);  // words not given stay white
  std::string many;
  for (int i = 0; i < 145; ++i) many += "0x0001,";
  EXPECT_EQ(ParseFaceHex(&many[0], bitmap), kFaceTooManyWords);
  EXPECT_EQ(ParseFaceHex(&many.substr(0, 144 * 7)[0], bitmap), kFaceDecoded);
  char bad[] = "0x0001,zz,";
  EXPECT_EQ(ParseFaceHex(bad, bitmap), kFaceBadWord);
  const char* tokens[] = {"0x1F", "0X1f", " \t12", "0x", "0xg", "-1", "+ff", "-0x10", "x1",
                          "-", "", "12345678901234567890123", "0x-1", "0000000000000000001ffff"};
  for (const char* token : tokens) {
    unsigned wanted = 0xDEAD;
    uint32_t word = 0xDEAD;
    bool scanned = sscanf(token, "%x", &wanted) == 1;
    ASSERT_EQ(ScanHexWord(token, &word), scanned) << token;
    EXPECT_EQ(word, scanned ? wanted : 0xDEADu) << token;
  }
}

// Real faces from public mail, where their file is present: each decodes
// exactly as the compface command-line tool decodes it.
TEST(DecodeFace, PublicFacesMatchTheCommandLineTool) {
  std::ifstream in(std::string(KIVEX_TEST_DATA) + "/../../../shared/testdata/xfaces-public.tsv");
  if (!in) GTEST_SKIP() << "public face values not present";
#ifdef _WIN32
  GTEST_SKIP() << "the compface tool runs on the build machine, not under Wine";
#endif
  test::ScratchDir dir;
  std::string source, value;
  int checked = 0;
  cString bmp;
  while (std::getline(in, source, '\t') && std::getline(in, value)) {
    if (source[0] == '#') continue;
    test::WriteFile(dir.File("in"), value + "\n");
    std::string command = "uncompface <" + dir.File("in") + " >" + dir.File("out") + " 2>&1";
    if (system(command.c_str()) != 0) continue;
    ASSERT_TRUE(Decode(value, bmp)) << value;
    EXPECT_EQ(PictureOfBmp(bmp), PictureOfHex(test::ReadFile(dir.File("out")))) << value;
    ++checked;
  }
  EXPECT_GE(checked, 18);
}
