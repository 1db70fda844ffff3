#include "platform/event_loop.h"

namespace kavor2::platform {

void CallGroup::Cancel() {
  std::vector<std::weak_ptr<WaitState>> waiters;
  {
    std::lock_guard<std::mutex> l(mutex_);
    cancelled_ = true;
    waiters.swap(waiters_);
  }
  for (auto& weak : waiters) {
    if (auto w = weak.lock()) {
      // Taking the waiter's mutex orders the notify after its predicate check.
      std::lock_guard<std::mutex> l(w->m);
      w->cv.notify_all();
    }
  }
}

bool CallGroup::Cancelled() const {
  std::lock_guard<std::mutex> l(mutex_);
  return cancelled_;
}

void CallGroup::Attach(const std::shared_ptr<WaitState>& w) {
  std::lock_guard<std::mutex> l(mutex_);
  // Drop entries of finished calls so a long-lived group stays small.
  std::erase_if(waiters_, [](const std::weak_ptr<WaitState>& p) { return p.expired(); });
  waiters_.push_back(w);
}

bool EventLoop::Post(Task task) {
  {
    std::lock_guard<std::mutex> l(mutex_);
    if (stopped_) return false;
    tasks_.push_back(std::move(task));
  }
  wake_.notify_one();
  return true;
}

void EventLoop::RunTask(Task& task) {
  try {
    task();
  } catch (...) {
    // A failing task must not take the service thread down.
  }
}

void EventLoop::Run() {
  {
    std::lock_guard<std::mutex> l(mutex_);
    loop_thread_ = std::this_thread::get_id();
  }
  for (;;) {
    Task task;
    {
      std::unique_lock<std::mutex> l(mutex_);
      wake_.wait(l, [&] { return stopped_ || (!paused_ && !tasks_.empty()); });
      if (stopped_) break;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    RunTask(task);
  }
  std::deque<Task> dropped;
  {
    std::lock_guard<std::mutex> l(mutex_);
    dropped.swap(tasks_);
  }
  // Destroyed outside the lock: a dropped hand-off wakes its caller here.
}

int EventLoop::RunFor(std::chrono::milliseconds max_wait) {
  int ran = 0;
  auto deadline = std::chrono::steady_clock::now() + max_wait;
  {
    std::lock_guard<std::mutex> l(mutex_);
    loop_thread_ = std::this_thread::get_id();
  }
  for (;;) {
    Task task;
    {
      std::unique_lock<std::mutex> l(mutex_);
      auto ready = [&] { return stopped_ || (!paused_ && !tasks_.empty()); };
      if (ran == 0) {
        if (!wake_.wait_until(l, deadline, ready)) return ran;
      } else if (!ready()) {
        return ran;
      }
      if (stopped_) return ran;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    RunTask(task);
    ++ran;
  }
}

void EventLoop::Stop() {
  std::deque<Task> dropped;
  {
    std::lock_guard<std::mutex> l(mutex_);
    stopped_ = true;
    dropped.swap(tasks_);
  }
  wake_.notify_all();
}

bool EventLoop::Stopped() const {
  std::lock_guard<std::mutex> l(mutex_);
  return stopped_;
}

void EventLoop::Pause() {
  std::lock_guard<std::mutex> l(mutex_);
  paused_ = true;
}

void EventLoop::Resume() {
  {
    std::lock_guard<std::mutex> l(mutex_);
    paused_ = false;
  }
  wake_.notify_all();
}

bool EventLoop::OnLoopThread() const {
  std::lock_guard<std::mutex> l(mutex_);
  return loop_thread_ == std::this_thread::get_id();
}

}  // namespace kavor2::platform
