#pragma once
// One IPv4 UDP socket of an Ethernet line, bound to a local address, with
// broadcast allowed. Non-blocking: nothing here waits for the network; the
// receiving thread waits on the descriptor itself.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include <netinet/in.h>

namespace kavor2::device {

class UdpSocket {
 public:
  // Binds to (address, port); port 0 lets the system choose. Raises
  // ECommError with the system's message when the address is not dotted
  // decimal, or the socket cannot be made or bound.
  static std::unique_ptr<UdpSocket> Bind(const std::string& address, std::uint16_t port);
  // A receive-only socket on (any address, port) for the datagrams that no
  // address-bound socket takes: broadcasts. It shares the port with the
  // line's address-bound sockets, which must allow that first (ShareAddress),
  // and reports each datagram's destination (Received::broadcast,
  // Received::local). Raises ECommError as Bind does.
  static std::unique_ptr<UdpSocket> BindBroadcastReceiver(std::uint16_t port);

  ~UdpSocket();
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  int Descriptor() const { return fd_; }
  // Lets a broadcast receiver share this bound socket's port (or, with
  // false, stops letting it). A socket that binds the same address and
  // port later without asking to share is still refused. 0 or the errno.
  int ShareAddress(bool on) const;
  // The address text it was bound to, as given.
  const std::string& LocalAddress() const { return local_address_; }
  bool BroadcastReceiver() const { return broadcast_receiver_; }

  // Sends one datagram; 0 when it went out whole, else the errno (EAGAIN
  // when the socket buffer is full: the datagram is not queued).
  int SendTo(const sockaddr_in& to, std::span<const std::uint8_t> datagram) const;

  struct Received {
    std::size_t length = 0;  // the datagram's full length, even when longer than the buffer
    sockaddr_in from{};
    // Broadcast receivers only: the datagram was sent to a broadcast
    // address (not to one of this host's own addresses), and the local
    // address of the interface that took it.
    bool broadcast = false;
    std::optional<in_addr> local;
  };
  // Takes the next waiting datagram into buffer (cut to its size). Nothing
  // when none is waiting or the system reported an error; error_number then
  // holds the errno (EAGAIN for none).
  std::optional<Received> Receive(std::span<std::uint8_t> buffer, int& error_number) const;

 private:
  UdpSocket(int fd, std::string local_address, bool broadcast_receiver)
      : fd_(fd), local_address_(std::move(local_address)), broadcast_receiver_(broadcast_receiver) {}
  static std::unique_ptr<UdpSocket> BindSocket(const std::string& address, std::uint16_t port,
                                               bool broadcast_receiver);

  int fd_;
  std::string local_address_;
  bool broadcast_receiver_;
};

// Dotted decimal to an IPv4 socket address; nothing for any other text.
std::optional<sockaddr_in> Ipv4SocketAddress(const std::string& address, std::uint16_t port);
// The address part of a socket address as dotted decimal.
std::string Ipv4Text(const sockaddr_in& address);

}  // namespace kavor2::device
