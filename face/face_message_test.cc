#include "face/face_message.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/fault.h"

// The time stamp of the message IDs is taken with 64-bit time on every
// build: after January 2038 it still shows the date (in any time zone from
// -11 to +11 hours, noon UTC is that day); a time the system cannot break
// down, or only into a five-digit year, is reported, not written.
TEST(MakeTimestamp, After2038AndBeyondWhatTheSystemTells) {
  cString stamp;
  platform::SetClock(2150107200);  // 18 February 2038, 12:00 UTC
  EXPECT_TRUE(MakeTimestamp(stamp));
  EXPECT_EQ(std::string(stamp.Text()).substr(0, 8), "20380218");
  EXPECT_EQ(stamp.Size(), 14);
  platform::SetClock(253402387200);  // 2 January 10000
  testing::internal::CaptureStderr();
  EXPECT_FALSE(MakeTimestamp(stamp));
  std::string err = testing::internal::GetCapturedStderr();
  platform::SetClock(0);
  EXPECT_EQ(err, "Die lokale Zeit fuer die Message-ID konnte nicht bestimmt werden\n");
}
