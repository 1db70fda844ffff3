#pragma once
// The time stamp of records and log lines: "dd.mm.yy hh:nn:ss zzz" in local
// time, for example "05.03.24 14:07:09 042".
#include <chrono>
#include <functional>
#include <string>

namespace kavor2::device {

// A broken-down local time; month 1-12, day 1-31, hour 0-23.
struct LocalDateTime {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

// Where "now" comes from. Owners that stamp records hold one so tests can
// fix the time; SystemWallClock reads the system clock.
using WallClock = std::function<std::chrono::system_clock::time_point()>;
std::chrono::system_clock::time_point SystemWallClock();

// The time point in the process's local time zone.
LocalDateTime ToLocalDateTime(std::chrono::system_clock::time_point when);

// Two-digit day, month, year (year modulo 100), hour, minute and second,
// then three-digit milliseconds.
std::string LogTimeText(const LocalDateTime& t);

// LogTimeText of the clock's current local time.
std::string NowText(const WallClock& clock);
std::string NowText();

}  // namespace kavor2::device
