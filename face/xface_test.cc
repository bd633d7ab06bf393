#include "face/xface.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

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
