#pragma once
// TAbstractThread: the base of a line's worker threads. A thread is created
// suspended (nothing runs until Resume), runs its Execute once, and marks
// Finished as the very last step of its run, whether Execute returned or
// threw.
//
// Contract for derived classes:
// - Execute loops until Terminated() and pauses between passes with
//   PauseOrTerminated, so that a termination request is seen within a pass.
// - The destructor of a derived class calls TerminateAndWait first: the run
//   uses the derived object's members, so it must end before they go. The
//   base destructor does it again as a last resort for a thread that was
//   never started or has ended already.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace kavor2::device {

class TLine;

class TAbstractThread {
 public:
  explicit TAbstractThread(TLine& line);
  virtual ~TAbstractThread();
  TAbstractThread(const TAbstractThread&) = delete;
  TAbstractThread& operator=(const TAbstractThread&) = delete;

  // Until the first Resume.
  bool Suspended() const;
  // Starts the run; nothing when it was started before. Raises
  // std::system_error when the system cannot create the thread (the thread
  // then stays suspended).
  void Resume();
  // Asks the run to end; it notices at the top of its next pass. Any thread.
  void Terminate();
  bool Terminated() const;
  // True once the run has ended (false for a thread never started).
  bool Finished() const;
  // Terminate, then, for a started thread, wait until its run has ended and
  // join it. Never call it from the thread's own run.
  void TerminateAndWait();

  TLine& Line() const { return line_; }

 protected:
  // The thread's work; runs once, on the thread. What it throws is swallowed.
  virtual void Execute() = 0;
  // Waits up to `pause`, returning early when asked to terminate. Returns
  // Terminated().
  bool PauseOrTerminated(std::chrono::milliseconds pause);

 private:
  void Run();

  TLine& line_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool started_ = false;
  bool terminated_ = false;
  bool finished_ = false;
  std::mutex join_mutex_;  // two waiters never both join
  std::thread thread_;
};

}  // namespace kavor2::device
