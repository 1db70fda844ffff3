#include "service/status_reporter.h"

#include <atomic>
#include <utility>

namespace kavor2::service {

TStatusReporter::TStatusReporter(platform::EventLoop& loop, TReport report, std::chrono::milliseconds file_interval,
                                 std::chrono::milliseconds entry_interval)
    : loop_(loop),
      report_(std::make_shared<TReport>(std::move(report))),
      file_interval_(file_interval),
      entry_interval_(entry_interval) {
  thread_ = std::thread([this] { Execute(); });
}

TStatusReporter::~TStatusReporter() {
  {
    std::lock_guard lock(mutex_);
    terminated_ = true;
  }
  wake_.notify_all();
  thread_.join();
  report_.reset();
}

void TStatusReporter::Execute() {
  using Clock = std::chrono::steady_clock;
  const std::weak_ptr<TReport> report = report_;
  // A report still waiting for the service thread (held up, paused) is not
  // queued again: one is enough when it comes back, not a pile.
  const auto queued = std::make_shared<std::atomic<bool>>(false);
  auto next_file = Clock::now() + file_interval_;
  auto next_entry = Clock::now() + entry_interval_;
  std::unique_lock lock(mutex_);
  for (;;) {
    if (wake_.wait_until(lock, next_file, [this] { return terminated_; })) return;
    const auto now = Clock::now();
    next_file = now + file_interval_;
    if (queued->exchange(true)) continue;
    const bool entry_due = now >= next_entry;
    if (entry_due) next_entry = now + entry_interval_;
    loop_.Post([report, queued, entry_due] {
      queued->store(false);
      if (const std::shared_ptr<TReport> target = report.lock()) (*target)(entry_due);
    });
  }
}

}  // namespace kavor2::service
