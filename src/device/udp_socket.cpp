#include "device/udp_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>

#include "device/comm_error.h"
#include "platform/tcp.h"

namespace kavor2::device {
namespace {

std::string SystemText(int error_number) {
  return platform::Describe(platform::IoResult::Error(error_number));
}

std::string Endpoint(const std::string& address, std::uint16_t port) {
  return address + ":" + std::to_string(port);
}

}  // namespace

std::optional<sockaddr_in> Ipv4SocketAddress(const std::string& address, std::uint16_t port) {
  sockaddr_in out{};
  out.sin_family = AF_INET;
  out.sin_port = htons(port);
  if (inet_pton(AF_INET, address.c_str(), &out.sin_addr) != 1) return std::nullopt;
  return out;
}

std::string Ipv4Text(const sockaddr_in& address) {
  char text[INET_ADDRSTRLEN] = {};
  if (inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) == nullptr) return {};
  return text;
}

std::unique_ptr<UdpSocket> UdpSocket::Bind(const std::string& address, std::uint16_t port) {
  const std::optional<sockaddr_in> local = Ipv4SocketAddress(address, port);
  if (!local) throw ECommError("Could not bind socket to " + Endpoint(address, port) + ": " + SystemText(EINVAL));
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) throw ECommError("Could not create socket: " + SystemText(errno));
  // Owned from here, so every failure below closes it.
  std::unique_ptr<UdpSocket> socket(new UdpSocket(fd, address));
  const int on = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
    throw ECommError("Could not allow broadcast on " + Endpoint(address, port) + ": " + SystemText(errno));
  }
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&*local), sizeof *local) != 0) {
    throw ECommError("Could not bind socket to " + Endpoint(address, port) + ": " + SystemText(errno));
  }
  return socket;
}

UdpSocket::~UdpSocket() { ::close(fd_); }

int UdpSocket::SendTo(const sockaddr_in& to, std::span<const std::uint8_t> datagram) const {
  const ssize_t sent = ::sendto(fd_, datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&to), sizeof to);
  if (sent < 0) return errno;
  // A datagram goes out whole or not at all; anything else is a failure.
  return static_cast<std::size_t>(sent) == datagram.size() ? 0 : EMSGSIZE;
}

std::optional<UdpSocket::Received> UdpSocket::Receive(std::span<std::uint8_t> buffer, int& error_number) const {
  Received got;
  socklen_t from_size = sizeof got.from;
  // MSG_TRUNC makes the result the datagram's real length, so an oversized
  // one is recognised although only the buffer's worth was copied.
  const ssize_t n = ::recvfrom(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC,
                               reinterpret_cast<sockaddr*>(&got.from), &from_size);
  if (n < 0) {
    error_number = errno;
    return std::nullopt;
  }
  error_number = 0;
  got.length = static_cast<std::size_t>(n);
  return got;
}

}  // namespace kavor2::device
