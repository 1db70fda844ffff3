#include "platform/event_log.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/text.h"

namespace kavor2::platform {
namespace {

// Facility daemon (3) times 8, plus severity info (6).
constexpr int kDaemonInfoPriority = 3 * 8 + 6;
// Longer entries are cut: a datagram above the socket's limit would be
// refused whole.
constexpr std::size_t kMaxSyslogText = 8192;
constexpr std::size_t kTimeTextSize = 32;
constexpr mode_t kLogFileMode = 0644;

constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The traditional syslog header time, "Mmm dd hh:mm:ss", local time, built
// without the process locale.
std::string SyslogTime() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char buf[kTimeTextSize];
  std::snprintf(buf, sizeof buf, "%s %2d %02d:%02d:%02d", kMonths[local.tm_mon % 12], local.tm_mday,
                local.tm_hour, local.tm_min, local.tm_sec);
  return buf;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

SyslogEventLog::SyslogEventLog(std::string ident, std::string socket_path)
    : ident_(std::move(ident)), socket_path_(std::move(socket_path)) {}

SyslogEventLog::~SyslogEventLog() {
  if (fd_ >= 0) ::close(fd_);
}

void SyslogEventLog::Write(std::string_view text) noexcept {
  try {
    std::string message = Cp1251ToUtf8(text.substr(0, kMaxSyslogText));
    std::string datagram = "<" + std::to_string(kDaemonInfoPriority) + ">" + SyslogTime() + " " +
                           ident_ + "[" + std::to_string(::getpid()) + "]: " + message;

    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socket_path_.size() >= sizeof addr.sun_path) return;
    std::memcpy(addr.sun_path, socket_path_.data(), socket_path_.size());

    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ < 0) {
      fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      if (fd_ < 0) return;
    }
    // Unconnected: each entry finds the logger again after it was restarted.
    ::sendto(fd_, datagram.data(), datagram.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr),
             sizeof addr);
  } catch (...) {
    // Out of memory or a conversion failure: the entry is dropped.
  }
}

FileEventLog::FileEventLog(std::filesystem::path file) : file_(std::move(file)) {}

void FileEventLog::Write(std::string_view text) noexcept {
  try {
    std::string line(text);
    for (char& c : line) {
      if (c == '\n' || c == '\r') c = ' ';
    }
    line.push_back('\n');
    std::lock_guard<std::mutex> lock(mutex_);
    // O_NONBLOCK: a FIFO without a reader must not hold the service up.
    int fd = ::open(file_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                    kLogFileMode);
    if (fd < 0) return;
    WriteAll(fd, line.data(), line.size());
    ::close(fd);
  } catch (...) {
    // The entry is dropped.
  }
}

}  // namespace kavor2::platform
