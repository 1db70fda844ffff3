#pragma once
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace kavor2::platform {

// Callers of EventLoop::Call that can be released together, e.g. the
// connection threads of a server that is being stopped on the loop thread
// itself (they would otherwise wait for a loop that waits for them).
// Once cancelled, waiting calls return nullopt and queued calls of the group
// are skipped instead of run.
class CallGroup {
 public:
  void Cancel();
  bool Cancelled() const;

 private:
  friend class EventLoop;
  struct WaitState {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
  };
  void Attach(const std::shared_ptr<WaitState>& w);

  mutable std::mutex mutex_;
  bool cancelled_ = false;
  std::vector<std::weak_ptr<WaitState>> waiters_;
};

// The service thread's event queue. Any thread may post work; posting never
// blocks, and work runs on the thread that calls Run, one task at a time, in
// posting order. Pause holds dispatching (posting goes on) until Resume.
// A task that throws is dropped; the loop goes on.
class EventLoop {
 public:
  using Task = std::function<void()>;

  EventLoop() = default;
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Queues a task. Returns false (and drops it) once the loop has stopped.
  bool Post(Task task);

  // The synchronous hand-off: runs fn on the loop thread and waits for its
  // result. On the loop thread itself fn runs at once. Returns nullopt when
  // the loop stops before fn ran, when fn throws, or when `group` is
  // cancelled (before or while waiting).
  template <typename R>
  std::optional<R> Call(std::function<R()> fn, std::shared_ptr<CallGroup> group = nullptr);

  // Dispatches until Stop. Tasks still queued at Stop are dropped.
  void Run();
  // Dispatches what is queued, waiting at most `max_wait` for a first task;
  // returns the number of tasks run. Marks the caller as the loop thread.
  int RunFor(std::chrono::milliseconds max_wait);

  void Stop();
  bool Stopped() const;
  void Pause();
  void Resume();

  // True when called on the thread that runs (or last ran) the loop.
  bool OnLoopThread() const;

 private:
  void RunTask(Task& task);

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> tasks_;
  bool stopped_ = false;
  bool paused_ = false;
  std::thread::id loop_thread_;
};

template <typename R>
std::optional<R> EventLoop::Call(std::function<R()> fn, std::shared_ptr<CallGroup> group) {
  if ((group && group->Cancelled()) || Stopped()) return std::nullopt;
  if (OnLoopThread()) {
    try {
      return fn();
    } catch (...) {
      return std::nullopt;
    }
  }
  using WaitState = CallGroup::WaitState;
  struct Shared : WaitState {
    std::optional<R> result;
  };
  auto shared = std::make_shared<Shared>();
  // Wakes the caller whenever the task is destroyed: after it ran, or when
  // it was dropped unrun at Stop.
  struct DoneGuard {
    explicit DoneGuard(std::shared_ptr<Shared> state) : s(std::move(state)) {}
    DoneGuard(const DoneGuard&) = delete;
    DoneGuard& operator=(const DoneGuard&) = delete;
    std::shared_ptr<Shared> s;
    ~DoneGuard() {
      std::lock_guard<std::mutex> l(s->m);
      s->done = true;
      s->cv.notify_all();
    }
  };
  if (group) group->Attach(shared);
  auto guard = std::make_shared<DoneGuard>(shared);
  bool queued = Post([fn = std::move(fn), guard, group]() mutable {
    if (group && group->Cancelled()) return;
    std::optional<R> value;
    try {
      value = fn();
    } catch (...) {
    }
    std::lock_guard<std::mutex> l(guard->s->m);
    guard->s->result = std::move(value);
  });
  guard.reset();
  if (!queued) return std::nullopt;
  std::unique_lock<std::mutex> l(shared->m);
  shared->cv.wait(l, [&] { return shared->done || (group && group->Cancelled()); });
  if (!shared->done) return std::nullopt;
  return std::move(shared->result);
}

}  // namespace kavor2::platform
