#include "face/bmp.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "face/known_faces.h"

TEST(FillBmp, FixedHeaderAndBottomUpPaddedRows) {
  const unsigned char fixed[62] = {
      0x42, 0x4D, 0xBE, 0x01, 0, 0, 0, 0, 0, 0, 0x3E, 0, 0, 0,           // file header
      0x28, 0, 0, 0, 0x30, 0, 0, 0, 0x30, 0, 0, 0, 0x01, 0, 0x01, 0,    // info header
      0, 0, 0, 0, 0x80, 0x01, 0, 0, 0xC4, 0x0E, 0, 0, 0xC4, 0x0E, 0, 0,
      0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0};         // white, black
  FaceBitmap bitmap;
  memset(bitmap.bytes, 0, sizeof bitmap.bytes);
  cString bmp;
  ASSERT_TRUE(bmp.Resize(447));
  FillBmp(bitmap, bmp);
  std::string white(bmp.Data, 446);
  EXPECT_EQ(white, std::string(reinterpret_cast<const char*>(fixed), 62) + std::string(384, '\0'));
  EXPECT_EQ(Crc64(0, reinterpret_cast<const unsigned char*>(white.data()), 446),
            0x2FEA738E6C82AC64ULL);
  for (int i = 0; i < 288; ++i) bitmap.bytes[i] = static_cast<uint8_t>(i / 6 + 1);  // row + 1
  FillBmp(bitmap, bmp);
  for (int r = 0; r < 48; ++r) {
    const char* row = bmp.Data + 62 + 8 * r;
    EXPECT_EQ(row[5], 48 - r) << r;  // the picture's bottom row is stored first
    EXPECT_EQ(row[6] | row[7], 0) << r;
  }
}
