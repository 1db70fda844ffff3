#include "device/udp_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <utility>

#include "device/comm_error.h"
#include "platform/tcp.h"

namespace kavor2::device {
namespace {

std::string SystemText(int error_number) {
  return platform::Describe(platform::IoResult::Error(error_number));
}

constexpr const char* kWildcardAddress = "0.0.0.0";

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
  return BindSocket(address, port, false);
}

std::unique_ptr<UdpSocket> UdpSocket::BindBroadcastReceiver(std::uint16_t port) {
  return BindSocket(kWildcardAddress, port, true);
}

std::unique_ptr<UdpSocket> UdpSocket::BindSocket(const std::string& address, std::uint16_t port,
                                                 bool broadcast_receiver) {
  const std::optional<sockaddr_in> local = Ipv4SocketAddress(address, port);
  if (!local) throw ECommError("Could not bind socket to " + Endpoint(address, port) + ": " + SystemText(EINVAL));
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) throw ECommError("Could not create socket: " + SystemText(errno));
  // Owned from here, so every failure below closes it.
  std::unique_ptr<UdpSocket> socket(new UdpSocket(fd, address, broadcast_receiver));
  const int on = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
    throw ECommError("Could not allow broadcast on " + Endpoint(address, port) + ": " + SystemText(errno));
  }
  if (broadcast_receiver) {
    // The port is shared with the line's own address-bound sockets; the
    // destination tells broadcasts from unicasts to addresses the line did
    // not bind.
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0) {
      throw ECommError("Could not receive broadcasts on " + Endpoint(address, port) + ": " + SystemText(errno));
    }
  }
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&*local), sizeof *local) != 0) {
    throw ECommError("Could not bind socket to " + Endpoint(address, port) + ": " + SystemText(errno));
  }
  return socket;
}

UdpSocket::~UdpSocket() { ::close(fd_); }

int UdpSocket::ShareAddress(bool on) const {
  // Set after the bind, so that the bind itself still refused a port some
  // other socket holds; sharing is checked against the sockets binding later.
  const int value = on ? 1 : 0;
  return ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &value, sizeof value) == 0 ? 0 : errno;
}

int UdpSocket::SendTo(const sockaddr_in& to, std::span<const std::uint8_t> datagram) const {
  const ssize_t sent = ::sendto(fd_, datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&to), sizeof to);
  if (sent < 0) return errno;
  // A datagram goes out whole or not at all; anything else is a failure.
  return static_cast<std::size_t>(sent) == datagram.size() ? 0 : EMSGSIZE;
}

std::optional<UdpSocket::Received> UdpSocket::Receive(std::span<std::uint8_t> buffer, int& error_number) const {
  Received got;
  iovec data{buffer.data(), buffer.size()};
  alignas(cmsghdr) std::array<std::uint8_t, CMSG_SPACE(sizeof(in_pktinfo))> control{};
  msghdr header{};
  header.msg_name = &got.from;
  header.msg_namelen = sizeof got.from;
  header.msg_iov = &data;
  header.msg_iovlen = 1;
  if (broadcast_receiver_) {
    header.msg_control = control.data();
    header.msg_controllen = control.size();
  }
  // MSG_TRUNC makes the result the datagram's real length, so an oversized
  // one is recognised although only the buffer's worth was copied.
  const ssize_t n = ::recvmsg(fd_, &header, MSG_DONTWAIT | MSG_TRUNC);
  if (n < 0) {
    error_number = errno;
    return std::nullopt;
  }
  error_number = 0;
  got.length = static_cast<std::size_t>(n);
  if (broadcast_receiver_) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
      if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO) continue;
      in_pktinfo info{};
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      // For a datagram to one of this host's addresses the header's
      // destination is that address; for a broadcast it is the broadcast
      // address and the local one is the interface's.
      got.broadcast = info.ipi_addr.s_addr != info.ipi_spec_dst.s_addr;
      got.local = info.ipi_spec_dst;
    }
  }
  return got;
}

}  // namespace kavor2::device
