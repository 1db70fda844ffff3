#include "device/log_time.h"

#include <gtest/gtest.h>

#include <ctime>

namespace kavor2::device {
namespace {

// The time point of a local date and time, as the process's zone sees it.
std::chrono::system_clock::time_point LocalTimePoint(int year, int month, int day, int hour, int minute,
                                                     int second, int millisecond) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(std::mktime(&tm)) + std::chrono::milliseconds(millisecond);
}

TEST(LogTime, FixedWidthFields) {
  struct Case {
    LocalDateTime time;
    const char* text;
  };
  const Case cases[] = {
      {{2024, 2, 1, 9, 5, 3, 7}, "01.02.24 09:05:03 007"},
      {{2024, 3, 5, 14, 7, 9, 42}, "05.03.24 14:07:09 042"},
      {{1999, 12, 31, 23, 59, 59, 999}, "31.12.99 23:59:59 999"},
      {{2000, 1, 1, 0, 0, 0, 0}, "01.01.00 00:00:00 000"},
  };
  for (const Case& c : cases) EXPECT_EQ(LogTimeText(c.time), c.text);
}

TEST(LogTime, NowTextReadsTheGivenClockInLocalTime) {
  const auto fixed = LocalTimePoint(2024, 2, 1, 9, 5, 3, 7);
  EXPECT_EQ(NowText([fixed] { return fixed; }), "01.02.24 09:05:03 007");
  // Milliseconds are truncated, never rounded into the next second.
  const auto late = LocalTimePoint(2024, 2, 1, 9, 5, 3, 999) + std::chrono::microseconds(900);
  EXPECT_EQ(NowText([late] { return late; }), "01.02.24 09:05:03 999");
}

TEST(LogTime, SystemClockTextHasTheLogShape) {
  const std::string text = NowText();
  ASSERT_EQ(text.size(), 21u) << text;
  for (std::size_t i : {2u, 5u}) EXPECT_EQ(text[i], '.') << text;
  for (std::size_t i : {11u, 14u}) EXPECT_EQ(text[i], ':') << text;
  for (std::size_t i : {8u, 17u}) EXPECT_EQ(text[i], ' ') << text;
}

}  // namespace
}  // namespace kavor2::device
