#include "buffer/cstring.h"

#include <gtest/gtest.h>

#include <string>

TEST(cString, BlocksGrowToExactNeedAndNeverShrink) {
  cString s(8);
  EXPECT_EQ(s.Capacity, 7);
  ASSERT_TRUE(s.Assign("1234567"));  // 8 bytes with its NUL: one more than room
  EXPECT_EQ(s.Capacity, 8);
  ASSERT_TRUE(s.Assign("ab"));
  EXPECT_EQ(s.Capacity, 8);
  EXPECT_EQ(s.Length, 3);
  ASSERT_TRUE(s.Assign(s.Text() + 1));  // its own text
  EXPECT_STREQ(s.Text(), "b");
  ASSERT_TRUE(s.AssignBytes("a\0b", 3));
  EXPECT_EQ(std::string(s.Data, 4), std::string("a\0b\0", 4));
  std::string big(1000, 'x');
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(s.Append(big.data(), 1000));
  EXPECT_EQ(s.Size(), 100003);
  EXPECT_EQ(s.Data[s.Size()], '\0');
}
