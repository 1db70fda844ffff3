#include "device/log_time.h"

#include <cstdio>
#include <ctime>

namespace kavor2::device {
namespace {

constexpr int kCenturyYears = 100;
constexpr int kTmYearBase = 1900;
// "dd.mm.yy hh:nn:ss zzz" plus the terminator, with room for out-of-range
// fields so a bad value can never overrun the buffer.
constexpr std::size_t kTextBufferSize = 64;

}  // namespace

std::chrono::system_clock::time_point SystemWallClock() { return std::chrono::system_clock::now(); }

LocalDateTime ToLocalDateTime(std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  const auto whole = floor<seconds>(when);
  const auto ms = duration_cast<milliseconds>(when - whole).count();
  const std::time_t t = system_clock::to_time_t(whole);
  std::tm tm{};
  localtime_r(&t, &tm);
  return LocalDateTime{tm.tm_year + kTmYearBase, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                       tm.tm_min, tm.tm_sec, static_cast<int>(ms)};
}

std::string LogTimeText(const LocalDateTime& t) {
  char buf[kTextBufferSize];
  const int year = ((t.year % kCenturyYears) + kCenturyYears) % kCenturyYears;
  std::snprintf(buf, sizeof buf, "%02d.%02d.%02d %02d:%02d:%02d %03d", t.day, t.month, year, t.hour,
                t.minute, t.second, t.millisecond);
  return buf;
}

std::string NowText(const WallClock& clock) { return LogTimeText(ToLocalDateTime(clock())); }

std::string NowText() { return NowText(SystemWallClock); }

}  // namespace kavor2::device
