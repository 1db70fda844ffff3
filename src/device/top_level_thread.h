#pragma once
// TTopLevelThread: a line's thread that runs the tick of each device of the
// line in turn (timers, key exchange, received packets, scheduling). One
// device per pass, in index order of the session's device collection, with
// a 1 ms pause between passes; an error of one device's tick ends that
// device's turn only.
#include <cstddef>

#include "device/line_thread.h"

namespace kavor2::device {

class TTopLevelThread final : public TAbstractThread {
 public:
  // Created suspended; the line must outlive the thread.
  explicit TTopLevelThread(TLine& line);
  ~TTopLevelThread() override;

 protected:
  void Execute() override;

 private:
  // Ticks the first device of the line at position or after it; position
  // ends at that device (past the end when there was none).
  void TickNextDevice();

  std::size_t position_ = 0;  // of the device processed last
};

}  // namespace kavor2::device
