#include "device/device_clock.h"

#include <chrono>

namespace kavor2::device {

TDeviceClock SystemDeviceClock() {
  using Ticks = std::chrono::steady_clock::duration;
  TDeviceClock clock;
  clock.Counter = [] { return static_cast<std::int64_t>(std::chrono::steady_clock::now().time_since_epoch().count()); };
  clock.Frequency = static_cast<std::int64_t>(Ticks::period::den / Ticks::period::num);
  clock.Wall = SystemWallClock;
  return clock;
}

}  // namespace kavor2::device
