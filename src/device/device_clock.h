#pragma once
// The clocks a device reads: the high-resolution counter that measures its
// time-outs, and the wall clock that stamps its records. Injected so that
// tests drive the time.
#include <cstdint>
#include <functional>

#include "device/log_time.h"

namespace kavor2::device {

struct TDeviceClock {
  std::function<std::int64_t()> Counter;  // ticks; never 0 once running
  std::int64_t Frequency = 1;             // ticks per second
  WallClock Wall;
};

// Steady-clock nanoseconds and the system's wall clock.
TDeviceClock SystemDeviceClock();

}  // namespace kavor2::device
