#include "platform/service_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace kavor2::platform {

bool NotifyServiceManager(const std::string& socket_path, std::string_view state) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socket_path.size() < 2 || socket_path.size() >= sizeof addr.sun_path) return false;
  if (socket_path[0] != '/' && socket_path[0] != '@') return false;
  std::memcpy(addr.sun_path, socket_path.data(), socket_path.size());
  socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socket_path.size());
  if (socket_path[0] == '@') {
    addr.sun_path[0] = '\0';  // abstract: the length, not a NUL, ends the name
  } else {
    ++length;
  }
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  ssize_t sent = ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                          reinterpret_cast<const sockaddr*>(&addr), length);
  ::close(fd);
  return sent == static_cast<ssize_t>(state.size());
}

bool NotifyServiceManager(std::string_view state) {
  const char* path = std::getenv(kNotifySocketVariable);
  if (path == nullptr) return false;
  return NotifyServiceManager(std::string(path), state);
}

}  // namespace kavor2::platform
