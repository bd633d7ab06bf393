#include "buffer/cstring.h"

#include <gtest/gtest.h>

#include <string>

TEST(cString, StartsEmptyWithExactBlocks) {
  cString plain;
  EXPECT_EQ(plain.Length, 1);
  EXPECT_EQ(plain.Capacity, 0);
  EXPECT_STREQ(plain.Text(), "");
  cString reserved(64);
  EXPECT_EQ(reserved.Length, 1);
  EXPECT_EQ(reserved.Capacity, 63);
}

TEST(cString, AssignGrowsToExactNeedAndNeverShrinks) {
  cString s(8);
  ASSERT_TRUE(s.Assign("1234567"));  // 8 bytes with its NUL: one more than room
  EXPECT_EQ(s.Capacity, 8);
  EXPECT_EQ(s.Length, 8);
  ASSERT_TRUE(s.Assign("ab"));
  EXPECT_EQ(s.Capacity, 8);
  EXPECT_EQ(s.Length, 3);
  EXPECT_STREQ(s.Text(), "ab");
  // Assigning a string's own text to itself keeps it intact.
  ASSERT_TRUE(s.Assign(s.Text() + 1));
  EXPECT_STREQ(s.Text(), "b");
}

TEST(cString, BytesKeepNulsAndAppendGrows) {
  cString s;
  ASSERT_TRUE(s.AssignBytes("a\0b", 3));
  EXPECT_EQ(s.Size(), 3);
  EXPECT_EQ(std::string(s.Data, 3), std::string("a\0b", 3));
  std::string big(100000, 'x');
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(s.Append(big.data(), 1000));
  EXPECT_EQ(s.Size(), 3 + 100000);
  EXPECT_EQ(s.Data[s.Size()], '\0');
}

TEST(cString, ResizeSetsLengthAndKeepsLargerBlock) {
  cString s;
  ASSERT_TRUE(s.Resize(447));
  EXPECT_EQ(s.Length, 447);
  EXPECT_EQ(s.Capacity, 447);
  char* block = s.Data;
  ASSERT_TRUE(s.Resize(447));
  EXPECT_EQ(s.Data, block);  // one block for all faces
}

TEST(EqualsIgnoreCase, ComparesAsciiLetters) {
  EXPECT_TRUE(EqualsIgnoreCase("x-face", "X-FACE"));
  EXPECT_TRUE(EqualsIgnoreCase("X-Face", "x-fAcE"));
  EXPECT_FALSE(EqualsIgnoreCase("X-Faces", "X-FACE"));
  EXPECT_FALSE(EqualsIgnoreCase("X_FACE", "X-FACE"));
}
