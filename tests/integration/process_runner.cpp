#include "integration/process_runner.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "loopback_peer.h"

extern char** environ;

namespace kavor2::testing {
namespace {

constexpr milliseconds kPollStep{10};
constexpr int kMaxTempAttempts = 100;

bool ConnectOnce(std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

ExitStatus Decode(int raw) {
  ExitStatus s;
  if (WIFEXITED(raw)) {
    s.Exited = true;
    s.Code = WEXITSTATUS(raw);
  } else if (WIFSIGNALED(raw)) {
    s.Signal = WTERMSIG(raw);
  }
  return s;
}

}  // namespace

std::filesystem::path ServiceProgram() {
  const char* dir = std::getenv("K2_BUILD_DIR");
  if (dir == nullptr || *dir == '\0') throw std::runtime_error("K2_BUILD_DIR is not set");
  return std::filesystem::path(dir) / "src" / "app" / "kavor2srv";
}

TempDir::TempDir(const std::string& prefix) {
  std::random_device rd;
  for (int attempt = 0; attempt < kMaxTempAttempts; ++attempt) {
    auto candidate = std::filesystem::temp_directory_path() /
                     (prefix + "-" + std::to_string(::getpid()) + "-" + std::to_string(rd()));
    if (std::filesystem::create_directory(candidate)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot make a temporary directory");
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::uint16_t FreePort() {
  const std::uint16_t port = loopback::FreePort();
  if (port == 0) throw std::runtime_error("no free port");
  return port;
}

bool WaitUntil(const std::function<bool()>& condition, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (condition()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollStep);
  }
}

bool WaitForPort(std::uint16_t port, milliseconds timeout) {
  return WaitUntil([port] { return ConnectOnce(port); }, timeout);
}

std::string ReadFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

ChildProcess::ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
                           const EnvChanges& env)
    : out_dir_("k2-child") {
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    std::string name = entry.substr(0, entry.find('='));
    if (env.count(name) == 0) env_strings.push_back(entry);
  }
  for (const auto& [name, value] : env) {
    if (value) env_strings.push_back(name + "=" + *value);
  }
  std::vector<std::string> argv_strings{program.string()};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv_ptrs, env_ptrs;
  for (auto& s : argv_strings) argv_ptrs.push_back(s.data());
  argv_ptrs.push_back(nullptr);
  for (auto& s : env_strings) env_ptrs.push_back(s.data());
  env_ptrs.push_back(nullptr);

  const std::string out_file = (out_dir_.Path() / "stdout").string();
  const std::string err_file = (out_dir_.Path() / "stderr").string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  // The child starts with no blocked signals and default actions, whatever
  // the test runner did with its own.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  int err = posix_spawn(&pid_, program.c_str(), &actions, &attr, argv_ptrs.data(), env_ptrs.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (err != 0) {
    pid_ = -1;
    throw std::runtime_error("cannot start " + program.string() + ": " + std::strerror(err));
  }
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    int raw = 0;
    while (::waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
    }
  }
}

bool ChildProcess::Signal(int sig) {
  if (pid_ <= 0 || status_) return false;
  return ::kill(pid_, sig) == 0;
}

bool ChildProcess::Running() { return !WaitExit(milliseconds{0}).has_value(); }

std::optional<ExitStatus> ChildProcess::WaitExit(milliseconds timeout) {
  if (status_ || pid_ <= 0) return status_;
  WaitUntil(
      [this] {
        int raw = 0;
        pid_t r = ::waitpid(pid_, &raw, WNOHANG);
        if (r == pid_) status_ = Decode(raw);
        return status_.has_value();
      },
      timeout);
  return status_;
}

RunResult RunToEnd(const std::filesystem::path& program, const std::vector<std::string>& args,
                   const ChildProcess::EnvChanges& env, milliseconds timeout) {
  ChildProcess child(program, args, env);
  RunResult result;
  result.Status = child.WaitExit(timeout);
  result.Out = child.Stdout();
  result.Err = child.Stderr();
  return result;
}

ShellRun RunShell(const std::string& command) {
  ShellRun run;
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return run;
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) run.output.append(buf, n);
  run.status = ::pclose(p);
  return run;
}

}  // namespace kavor2::testing

#include <poll.h>
#include <sys/un.h>

#include <cstddef>

namespace kavor2::testing {

NotifyListener::NotifyListener() {
  std::random_device rd;
  name_ = "@k2-notify-" + std::to_string(::getpid()) + "-" + std::to_string(rd());
  fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error("cannot make a notify socket");
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, name_.data(), name_.size());
  addr.sun_path[0] = '\0';
  socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name_.size());
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    ::close(fd_);
    throw std::runtime_error("cannot bind the notify socket");
  }
}

NotifyListener::~NotifyListener() { ::close(fd_); }

std::optional<std::string> NotifyListener::Receive(milliseconds timeout) {
  pollfd p{fd_, POLLIN, 0};
  int r = ::poll(&p, 1, static_cast<int>(timeout.count()));
  if (r <= 0) return std::nullopt;
  char buf[4096];
  ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
  if (n < 0) return std::nullopt;
  return std::string(buf, static_cast<std::size_t>(n));
}

bool NotifyListener::WaitFor(const std::string& state, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    auto datagram = Receive(left);
    if (!datagram) return false;
    if (*datagram == state) return true;
  }
}

}  // namespace kavor2::testing
