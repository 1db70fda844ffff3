#include "platform/service_notify.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <string>

namespace kavor2::platform {
namespace {

// A bound datagram socket playing the service manager; `name` starting with
// '@' is abstract.
class NotifyReceiver {
 public:
  explicit NotifyReceiver(const std::string& name) : name_(name) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, name.data(), name.size());
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    if (name[0] == '@') {
      addr.sun_path[0] = '\0';
    } else {
      std::filesystem::remove(name);
      ++len;
    }
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len), 0) << std::strerror(errno);
    timeval tv{5, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~NotifyReceiver() {
    ::close(fd_);
    if (name_[0] != '@') std::filesystem::remove(name_);
  }
  std::string Receive() {
    char buf[512];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
  }

 private:
  std::string name_;
  int fd_ = -1;
};

TEST(ServiceNotify, SendsStatesToPathAndAbstractSockets) {
  const std::string pid = std::to_string(::getpid());
  for (const std::string& name : {(std::filesystem::temp_directory_path() / ("k2-notify-" + pid)).string(),
                                  std::string("@k2-notify-test-") + pid}) {
    NotifyReceiver manager(name);
    EXPECT_TRUE(NotifyServiceManager(name, kNotifyReady)) << name;
    EXPECT_EQ(manager.Receive(), "READY=1") << name;
    EXPECT_TRUE(NotifyServiceManager(name, kNotifyStopping)) << name;
    EXPECT_EQ(manager.Receive(), "STOPPING=1") << name;
  }
}

TEST(ServiceNotify, UnusableSocketsReportFalse) {
  EXPECT_FALSE(NotifyServiceManager(std::string(), kNotifyReady));
  EXPECT_FALSE(NotifyServiceManager("relative/socket", kNotifyReady));
  EXPECT_FALSE(NotifyServiceManager("/nonexistent-k2/notify", kNotifyReady));
  EXPECT_FALSE(NotifyServiceManager("/" + std::string(200, 'x'), kNotifyReady));
}

}  // namespace
}  // namespace kavor2::platform
