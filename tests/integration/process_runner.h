#pragma once
// Runs the real program in tests: spawn with arguments and environment,
// wait for a port, send signals, wait for the exit with a deadline.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kavor2::testing {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// $K2_BUILD_DIR/src/app/kavor2srv (the build sets K2_BUILD_DIR for tests).
std::filesystem::path ServiceProgram();

// A fresh directory under the system's temp directory, removed with the object.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "k2-it");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// A loopback TCP port that was free a moment ago.
std::uint16_t FreePort();

// Polls `condition` until it holds or `timeout` passes; true when it held.
bool WaitUntil(const std::function<bool()>& condition, milliseconds timeout);

// True once 127.0.0.1:port accepts a connection, false at the deadline.
bool WaitForPort(std::uint16_t port, milliseconds timeout);

// The whole content of a file; empty when it cannot be read.
std::string ReadFile(const std::filesystem::path& file);

// How a child ended: an exit code or a terminating signal.
struct ExitStatus {
  bool Exited = false;
  int Code = -1;    // when Exited
  int Signal = 0;   // when not Exited
};

// One child process. Its stdout and stderr go to files of its own. The
// destructor kills (SIGKILL) and reaps a child that is still running, so a
// failing test never leaves one behind.
class ChildProcess {
 public:
  // Environment changes: a value sets the variable, nullopt removes it;
  // everything else is inherited.
  using EnvChanges = std::map<std::string, std::optional<std::string>>;

  ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
               const EnvChanges& env = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return pid_; }
  // Sends a signal; false when the child is gone.
  bool Signal(int sig);
  // Waits until the child ends; nullopt when it still runs at the deadline.
  std::optional<ExitStatus> WaitExit(milliseconds timeout);
  bool Running();

  std::string Stdout() const { return ReadFile(out_dir_.Path() / "stdout"); }
  std::string Stderr() const { return ReadFile(out_dir_.Path() / "stderr"); }

 private:
  TempDir out_dir_;
  pid_t pid_ = -1;
  std::optional<ExitStatus> status_;
};

// Runs the program to its end (bounded by `timeout`) and gives its status
// with stdout and stderr.
struct RunResult {
  std::optional<ExitStatus> Status;
  std::string Out;
  std::string Err;
};
RunResult RunToEnd(const std::filesystem::path& program, const std::vector<std::string>& args,
                   const ChildProcess::EnvChanges& env, milliseconds timeout);

// A shell command's status (as pclose gives it, -1 when it did not start)
// and what it printed on stdout.
struct ShellRun {
  int status = -1;
  std::string output;
};
ShellRun RunShell(const std::string& command);

}  // namespace kavor2::testing

namespace kavor2::testing {

// A datagram socket standing in for the service manager's notify socket,
// bound to an abstract name; Name() is the value for NOTIFY_SOCKET.
class NotifyListener {
 public:
  NotifyListener();
  ~NotifyListener();
  NotifyListener(const NotifyListener&) = delete;
  NotifyListener& operator=(const NotifyListener&) = delete;
  const std::string& Name() const { return name_; }
  // The next datagram, or nullopt when none comes in time.
  std::optional<std::string> Receive(milliseconds timeout);
  // Reads datagrams until one equals `state`; false at the deadline.
  bool WaitFor(const std::string& state, milliseconds timeout);

 private:
  std::string name_;
  int fd_ = -1;
};

}  // namespace kavor2::testing
