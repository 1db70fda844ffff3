#pragma once
// Counters of a line's or a device's traffic. They are bumped on the line
// threads' hot paths, so they are relaxed atomics: no lock, no ordering, and
// a reader on another thread sees each value whole (a snapshot of several is
// not taken at one instant, which a statistics report does not need).
#include <atomic>
#include <cstdint>

namespace kavor2::device {

// Plain values read from the counters.
struct TTrafficCounts {
  std::uint64_t PacketsIn = 0;
  std::uint64_t PacketsOut = 0;
  std::uint64_t CrcErrors = 0;
  std::uint64_t AuthErrors = 0;
  std::uint64_t Retransmissions = 0;
  std::uint64_t Connects = 0;
  std::uint64_t Disconnects = 0;

  TTrafficCounts& operator+=(const TTrafficCounts& other) {
    PacketsIn += other.PacketsIn;
    PacketsOut += other.PacketsOut;
    CrcErrors += other.CrcErrors;
    AuthErrors += other.AuthErrors;
    Retransmissions += other.Retransmissions;
    Connects += other.Connects;
    Disconnects += other.Disconnects;
    return *this;
  }
};

struct TTrafficCounters {
  using Counter = std::atomic<std::uint64_t>;
  Counter PacketsIn{0};        // packets received (a line: every datagram or frame, known sender or not)
  Counter PacketsOut{0};       // packets sent (a line: every datagram or frame it wrote)
  Counter CrcErrors{0};        // received packets refused for their CRC
  Counter AuthErrors{0};       // received packets refused for their authentication code
  Counter Retransmissions{0};  // data packets and status words sent again unacknowledged
  Counter Connects{0};         // logical connections made
  Counter Disconnects{0};      // logical connections lost or ended

  static void Bump(Counter& counter) { counter.fetch_add(1, std::memory_order_relaxed); }

  TTrafficCounts Read() const {
    TTrafficCounts counts;
    counts.PacketsIn = PacketsIn.load(std::memory_order_relaxed);
    counts.PacketsOut = PacketsOut.load(std::memory_order_relaxed);
    counts.CrcErrors = CrcErrors.load(std::memory_order_relaxed);
    counts.AuthErrors = AuthErrors.load(std::memory_order_relaxed);
    counts.Retransmissions = Retransmissions.load(std::memory_order_relaxed);
    counts.Connects = Connects.load(std::memory_order_relaxed);
    counts.Disconnects = Disconnects.load(std::memory_order_relaxed);
    return counts;
  }
};

}  // namespace kavor2::device
