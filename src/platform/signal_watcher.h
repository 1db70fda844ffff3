#pragma once
#include <functional>
#include <thread>

namespace kavor2::platform {

// Turns the process's control signals into calls on a thread of its own:
// SIGTERM and SIGINT -> OnStop, SIGTSTP -> OnPause, SIGCONT -> OnResume,
// SIGUSR1 -> OnReport (the reload request: a report of the statistics).
// The handlers run on the watcher thread, one at a time, so they may take
// locks and post work; they must not block for long.
//
// The signals are taken away from normal delivery (blocked) in the thread
// that calls BlockControlSignals; threads started afterwards inherit that.
// Call it first thing in main, before any other thread exists, or a signal
// could reach a thread that still has the default action (for SIGTSTP:
// stopping the whole process instead of pausing the service thread).
class SignalWatcher {
 public:
  struct Handlers {
    std::function<void()> OnStop;
    std::function<void()> OnPause;
    std::function<void()> OnResume;
    std::function<void()> OnReport;
  };

  // Blocks SIGTERM, SIGINT, SIGTSTP, SIGCONT and SIGUSR1 in the calling
  // thread (so SIGUSR1 no longer kills the process).
  // Throws std::system_error when the system refuses.
  static void BlockControlSignals();

  // Starts watching. Unset handlers are skipped. Throws std::system_error
  // when the watcher cannot be made.
  explicit SignalWatcher(Handlers handlers);
  // Stops watching and joins the thread.
  ~SignalWatcher();
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

 private:
  void Watch();

  Handlers handlers_;
  int signal_fd_ = -1;
  int stop_fd_ = -1;
  std::thread thread_;
};

}  // namespace kavor2::platform
