#include "device/line_thread.h"

namespace kavor2::device {

TAbstractThread::TAbstractThread(TLine& line) : line_(line) {}

TAbstractThread::~TAbstractThread() { TerminateAndWait(); }

bool TAbstractThread::Suspended() const {
  std::lock_guard lock(mutex_);
  return !started_;
}

void TAbstractThread::Resume() {
  std::lock_guard lock(mutex_);
  if (started_) return;
  // Started only once the std::thread exists, so a failed creation leaves
  // the thread suspended and a later Resume may try again.
  thread_ = std::thread([this] { Run(); });
  started_ = true;
}

void TAbstractThread::Terminate() {
  {
    std::lock_guard lock(mutex_);
    terminated_ = true;
  }
  changed_.notify_all();
}

bool TAbstractThread::Terminated() const {
  std::lock_guard lock(mutex_);
  return terminated_;
}

bool TAbstractThread::Finished() const {
  std::lock_guard lock(mutex_);
  return finished_;
}

void TAbstractThread::TerminateAndWait() {
  Terminate();
  std::unique_lock lock(mutex_);
  if (!started_) return;
  changed_.wait(lock, [this] { return finished_; });
  lock.unlock();
  std::lock_guard join(join_mutex_);
  if (thread_.joinable()) thread_.join();
}

bool TAbstractThread::PauseOrTerminated(std::chrono::milliseconds pause) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, pause, [this] { return terminated_; });
  return terminated_;
}

void TAbstractThread::Run() {
  try {
    Execute();
  } catch (...) {
    // A line thread never takes the process down; the line just stops.
  }
  {
    std::lock_guard lock(mutex_);
    finished_ = true;
  }
  changed_.notify_all();
}

}  // namespace kavor2::device
