#include "face/face_message.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/fault.h"

// The time stamp of the message IDs is local time, taken with 64-bit time
// on every build: after January 2038 it still shows the time; a time the
// system cannot break down, or only into a five-digit year, is reported,
// not written.
TEST(MakeTimestamp, LocalAfter2038AndBeyondWhatTheSystemTells) {
#ifndef _WIN32
  const char* zone = getenv("TZ");
  const std::string kept = zone != nullptr ? zone : "";
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
#endif
  cString stamp;
  int32_t micros = -1;
  platform::SetClock(2150107200);  // 18 February 2038, 12:00 UTC
  EXPECT_TRUE(MakeTimestamp(stamp, &micros));
#ifndef _WIN32
  EXPECT_EQ(std::string(stamp.Text()), "20380218130000");
#else
  EXPECT_EQ(std::string(stamp.Text()).substr(0, 8), "20380218");
#endif
  platform::SetClock(253402387200);  // 2 January 10000
  testing::internal::CaptureStderr();
  EXPECT_FALSE(MakeTimestamp(stamp, &micros));
  std::string err = testing::internal::GetCapturedStderr();
  platform::SetClock(0);
  EXPECT_EQ(err, "Die lokale Zeit fuer die Message-ID konnte nicht bestimmt werden\n");
#ifndef _WIN32
  if (zone != nullptr) setenv("TZ", kept.c_str(), 1);
  else unsetenv("TZ");
  tzset();
#endif
}
