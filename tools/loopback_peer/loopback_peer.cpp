#include "loopback_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string_view>

namespace kavor2::loopback {
namespace {

constexpr std::size_t kMaxHeaderLine = 16384;

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

long StatusField(const std::string& status, const std::string& name) {
  auto at = status.find("\n" + name + ":");
  if (at == std::string::npos) return 0;
  return std::strtol(status.c_str() + at + name.size() + 2, nullptr, 10);
}

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

}  // namespace

std::uint16_t FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in addr = Loopback(0);
  socklen_t len = sizeof addr;
  std::uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  ::close(fd);
  return port;
}

int ConnectRaw(std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const sockaddr_in addr = Loopback(port);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool ClosedByPeer(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 0) != 1) return false;
  char byte = 0;
  return ::recv(fd, &byte, 1, MSG_DONTWAIT) <= 0;
}

bool ReadHttpResponse(platform::TcpConnection& c, std::string& body, std::chrono::milliseconds timeout) {
  std::string line;
  std::size_t length = 0;
  for (;;) {
    if (!c.ReadLine(line, kMaxHeaderLine, timeout).ok()) return false;
    if (line.empty()) break;
    constexpr std::string_view name = "Content-Length: ";
    if (line.starts_with(name)) length = std::strtoul(line.c_str() + name.size(), nullptr, 10);
  }
  return c.ReadExact(length, body, timeout).ok();
}

ProcessFigures ReadProcessFigures(pid_t pid) {
  ProcessFigures f;
  const std::string dir = "/proc/" + std::to_string(pid);
  const std::string status = "\n" + ReadWhole(dir + "/status");
  f.hwm_kib = StatusField(status, "VmHWM");
  f.vm_peak_kib = StatusField(status, "VmPeak");
  f.rss_kib = StatusField(status, "VmRSS");
  f.threads = StatusField(status, "Threads");
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(dir + "/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    ++f.fds;
  }
  const std::string stat = ReadWhole(dir + "/stat");
  // Fields after the command name, which is in parentheses and may hold spaces.
  auto close = stat.rfind(')');
  if (close != std::string::npos && close + 2 <= stat.size()) {
    std::istringstream rest(stat.substr(close + 2));
    std::string field;
    double ticks = 0;
    // Fields 14 and 15: user and system time in clock ticks.
    for (int i = 3; i <= 15 && rest >> field; ++i) {
      if (i >= 14) ticks += std::strtod(field.c_str(), nullptr);
    }
    f.cpu_seconds = ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }
  return f;
}

}  // namespace kavor2::loopback
