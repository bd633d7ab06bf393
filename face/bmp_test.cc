#include "face/bmp.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "face/known_faces.h"

namespace {

const unsigned char kFixed[62] = {
    0x42, 0x4D, 0xBE, 0x01, 0, 0, 0, 0, 0, 0, 0x3E, 0, 0, 0,            // file header
    0x28, 0, 0, 0, 0x30, 0, 0, 0, 0x30, 0, 0, 0, 0x01, 0, 0x01, 0,     // info header
    0, 0, 0, 0, 0x80, 0x01, 0, 0, 0xC4, 0x0E, 0, 0, 0xC4, 0x0E, 0, 0,  //
    0, 0, 0, 0, 0, 0, 0, 0,                                            //
    0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0};                                  // white, black

std::string Filled(unsigned char pixels) {
  FaceBitmap bitmap;
  memset(bitmap.bytes, pixels, sizeof bitmap.bytes);
  cString bmp;
  EXPECT_TRUE(bmp.Resize(447));
  FillBmp(bitmap, bmp);
  return std::string(bmp.Data, 446);
}

}  // namespace

TEST(FillBmp, WhiteFaceIsTheFixedBytesAndZeroRows) {
  std::string file = Filled(0);
  EXPECT_EQ(file.substr(0, 62), std::string(reinterpret_cast<const char*>(kFixed), 62));
  EXPECT_EQ(file.substr(62), std::string(384, '\0'));
  EXPECT_EQ(Crc64(0, reinterpret_cast<const unsigned char*>(file.data()), 446),
            0x2FEA738E6C82AC64ULL);
}

TEST(FillBmp, BlackRowsArePaddedWithZeros) {
  std::string file = Filled(0xFF);
  for (int r = 0; r < 48; ++r)
    EXPECT_EQ(file.substr(62 + 8 * r, 8), std::string("\xFF\xFF\xFF\xFF\xFF\xFF\0\0", 8)) << r;
}

TEST(FillBmp, RowsAreStoredBottomUp) {
  FaceBitmap bitmap;
  for (int i = 0; i < 288; ++i) bitmap.bytes[i] = static_cast<uint8_t>(i / 6);  // row number
  cString bmp;
  ASSERT_TRUE(bmp.Resize(447));
  FillBmp(bitmap, bmp);
  for (int r = 0; r < 48; ++r) EXPECT_EQ(bmp.Data[62 + 8 * r], 47 - r);
}
