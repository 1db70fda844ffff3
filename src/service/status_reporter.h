#pragma once
// The clock of the status reports: every few seconds a rewrite of the status
// file, and every hour the statistics entry as well. It only keeps time; the
// report itself runs on the service thread, where the subscribers live.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/event_loop.h"

namespace kavor2::service {

inline constexpr std::chrono::milliseconds kStatusFileInterval{10'000};
inline constexpr std::chrono::milliseconds kStatisticsEntryInterval{3'600'000};

class TStatusReporter {
 public:
  // Called on the loop's thread; the argument says whether the statistics
  // entry is due too.
  using TReport = std::function<void(bool statistics_entry)>;

  // Starts the clock at once; the first report is one file interval away.
  TStatusReporter(platform::EventLoop& loop, TReport report,
                  std::chrono::milliseconds file_interval = kStatusFileInterval,
                  std::chrono::milliseconds entry_interval = kStatisticsEntryInterval);
  // Stops the clock and joins it. Run it on the loop's thread: reports
  // already queued there are skipped from then on.
  ~TStatusReporter();
  TStatusReporter(const TStatusReporter&) = delete;
  TStatusReporter& operator=(const TStatusReporter&) = delete;

 private:
  void Execute();

  platform::EventLoop& loop_;
  // Queued reports hold it weakly: once the reporter is gone they find
  // nothing to run.
  std::shared_ptr<TReport> report_;
  const std::chrono::milliseconds file_interval_;
  const std::chrono::milliseconds entry_interval_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool terminated_ = false;
  std::thread thread_;
};

}  // namespace kavor2::service
