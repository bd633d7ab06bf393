#include "face/face_message.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/fault.h"

// The time stamp of the message IDs is UTC, taken with 64-bit time on every
// build: after January 2038 it still shows the time, and the hour that the
// clocks go through twice when summer time ends gives two stamps, not one
// (in Berlin 02:30 on 25 October 2026 comes an hour apart). A time the
// system cannot break down, or only into a five-digit year, is reported,
// not written.
TEST(MakeTimestamp, UtcAfter2038InARepeatedHourAndBeyondWhatTheSystemTells) {
#ifndef _WIN32
  const char* zone = getenv("TZ");
  const std::string kept = zone != nullptr ? zone : "";
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
#endif
  const struct {
    int64_t seconds;
    const char* stamp;
  } kTimes[] = {{2150107200, "20380218120000"},
                {1792888200, "20261025003000"},
                {1792891800, "20261025013000"}};
  cString stamp;
  int32_t micros = -1;
  for (const auto& t : kTimes) {
    platform::SetClock(t.seconds);
    EXPECT_TRUE(MakeTimestamp(stamp, &micros));
    EXPECT_EQ(std::string(stamp.Text()), t.stamp);
  }
  platform::SetClock(253402387200);  // 2 January 10000
  testing::internal::CaptureStderr();
  EXPECT_FALSE(MakeTimestamp(stamp, &micros));
  std::string err = testing::internal::GetCapturedStderr();
  platform::SetClock(0);
  EXPECT_EQ(err, "Die Uhrzeit fuer die Message-ID konnte nicht bestimmt werden\n");
#ifndef _WIN32
  if (zone != nullptr) setenv("TZ", kept.c_str(), 1);
  else unsetenv("TZ");
  tzset();
#endif
}
