#include "platform/signal_watcher.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace kavor2::platform {
namespace {

sigset_t ControlSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTSTP);
  sigaddset(&set, SIGCONT);
  sigaddset(&set, SIGUSR1);
  return set;
}

[[noreturn]] void ThrowErrno(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

}  // namespace

void SignalWatcher::BlockControlSignals() {
  sigset_t set = ControlSignals();
  int err = pthread_sigmask(SIG_BLOCK, &set, nullptr);
  if (err != 0) throw std::system_error(err, std::generic_category(), "pthread_sigmask");
}

SignalWatcher::SignalWatcher(Handlers handlers) : handlers_(std::move(handlers)) {
  sigset_t set = ControlSignals();
  signal_fd_ = ::signalfd(-1, &set, SFD_CLOEXEC);
  if (signal_fd_ < 0) ThrowErrno("signalfd");
  stop_fd_ = ::eventfd(0, EFD_CLOEXEC);
  if (stop_fd_ < 0) {
    int err = errno;
    ::close(signal_fd_);
    throw std::system_error(err, std::generic_category(), "eventfd");
  }
  try {
    thread_ = std::thread([this] { Watch(); });
  } catch (...) {
    ::close(signal_fd_);
    ::close(stop_fd_);
    throw;
  }
}

SignalWatcher::~SignalWatcher() {
  std::uint64_t one = 1;
  while (::write(stop_fd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
  thread_.join();
  ::close(signal_fd_);
  ::close(stop_fd_);
}

void SignalWatcher::Watch() {
  pollfd fds[2] = {{signal_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
  for (;;) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;
    signalfd_siginfo info{};
    ssize_t n = ::read(signal_fd_, &info, sizeof info);
    if (n != static_cast<ssize_t>(sizeof info)) continue;
    const std::function<void()>* handler = nullptr;
    switch (static_cast<int>(info.ssi_signo)) {
      case SIGTERM:
      case SIGINT: handler = &handlers_.OnStop; break;
      case SIGTSTP: handler = &handlers_.OnPause; break;
      case SIGCONT: handler = &handlers_.OnResume; break;
      case SIGUSR1: handler = &handlers_.OnReport; break;
      default: break;
    }
    if (handler != nullptr && *handler) {
      try {
        (*handler)();
      } catch (...) {
        // A failing handler must not end signal handling.
      }
    }
  }
}

}  // namespace kavor2::platform
