#pragma once
// TUdpKavor: the transport of an Ethernet line. Frames travel in UDP
// datagrams that begin with the line's prefix (udp_datagram.h). Per local
// IPv4 address the line has one listening socket on its port and one
// sending socket on a port the system chooses; both allow broadcast. A
// socket bound to one address hears no broadcasts, so one more, receive-only
// socket on (any address, port) takes the datagrams sent to a broadcast
// address of the line's port and drops everything else; the address-bound
// sockets let it share the port, and still refuse any other socket that
// binds their address and port without asking to share.
//
// Receiving: one thread per open transport waits on all listening sockets
// and a wake-up descriptor at once (no polling loop). For every datagram it
// records who sent it and which local address took it (PeerHost, PeerPort,
// LocalAddress), then, when OnReceive is set, puts the datagram into
// InBuffer and calls the handler. Datagrams are handed over one at a time in
// the order each socket received them; nothing is queued in between, and a
// datagram longer than kMaxDatagramSize is dropped unseen, so what a peer
// sends never grows a buffer. Datagrams sent by this host's own sockets are
// handled like any other; the line recognises its own messages itself.
//
// The thread contract of TCommunicationsAbstract holds. In particular
// Close, Open and SetPort wait for the receiving thread to end, and must not
// be called from inside OnReceive.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/comm_abstract.h"
#include "device/udp_socket.h"

namespace kavor2::device {

// The local IPv4 addresses (dotted decimal) a line binds to, in order.
using LocalAddressQuery = std::function<std::vector<std::string>()>;

// The platform's list: interfaces that are up, loopback included; empty when
// the query fails.
std::vector<std::string> SystemLocalAddresses();

class TUdpKavor : public TCommunicationsAbstract {
 public:
  static constexpr int kDefaultPort = 40000;
  static constexpr std::int64_t kDefaultIdRequestInterval = 10;
  // Destination of frames sent to every device.
  static constexpr const char* kBroadcastAddress = "255.255.255.255";
  // Listening address when the computer has no local address at all.
  static constexpr const char* kAnyAddress = "0.0.0.0";

  // local_addresses is asked at every activation; tests give their own.
  explicit TUdpKavor(TLines* owner = nullptr, LocalAddressQuery local_addresses = SystemLocalAddresses);
  ~TUdpKavor() override;

  // Closes first when open, then binds every socket and starts the
  // receiving thread. Returns IsOpen. Raises ECommError with the system's
  // message (a port in use, for one); the transport is then closed.
  bool Open() override;
  // Stops the receiving thread and closes every socket; returns true.
  bool Close() override;
  bool IsOpen() const override { return open_.load(); }

  int GetPort() const { return port_.load(); }
  // On an open transport: closes, takes the port, opens again (errors of
  // that opening raise to the caller; the transport is then closed and holds
  // the new port). On a closed one it only takes the port.
  void SetPort(int port);

  int DevicePort() const { return device_port_.load(); }
  void SetDevicePort(int port) { device_port_.store(port); }
  // Seconds; 0 switches the broadcast ID request off.
  std::int64_t BroadcastInterval() const { return broadcast_interval_.load(); }
  void SetBroadcastInterval(std::int64_t seconds) { broadcast_interval_.store(seconds); }
  std::int64_t IdRequestInterval() const { return id_request_interval_.load(); }
  void SetIdRequestInterval(std::int64_t seconds) { id_request_interval_.store(seconds); }
  bool SendViaListenSockets() const { return send_via_listen_sockets_.load(); }
  void SetSendViaListenSockets(bool on) { send_via_listen_sockets_.store(on); }

  // The sender of the last datagram received and the local address that
  // took it (empty and 0 before the first).
  std::string PeerHost() const;
  int PeerPort() const;
  std::string LocalAddress() const;

  // Datagrams arrive by themselves: false.
  bool ReceiveFrame(std::size_t expected_length) override;
  // Clears OutBuffer and writes the prefix of a K2 packet (data_flag) or an
  // ID exchange message. The device and the command are not used.
  bool BeginPacket(ICommDevice* device, bool data_flag, std::uint8_t command) override;
  // Sends all of OutBuffer. No device: to the broadcast address and
  // DevicePort through every candidate socket. A device with a
  // CommLocalAddress: to its host and port through the first candidate socket
  // of that local address. Otherwise through every candidate socket. The
  // candidates are the listening sockets when SendViaListenSockets is set,
  // else the sending sockets. False when a send failed (earlier ones of the
  // call stay sent), the device's host or port is not valid, or no socket
  // matched; true and LastSentSize := the frame size otherwise.
  bool Send(ICommDevice* device) override;
  // False when InBuffer does not start with a valid prefix; otherwise
  // data_flag := it holds a K2 packet, the position is behind the prefix.
  bool CheckReceived(bool& data_flag) override;
  // The device's host := PeerHost, its port := PeerPort.
  void TakeDeviceHost(ICommDevice* device) override;
  void TakeDevicePort(ICommDevice* device) override;

 private:
  using Sockets = std::vector<std::unique_ptr<UdpSocket>>;

  // Callers hold lifecycle_mutex_.
  void Activate();
  void Deactivate() noexcept;
  // Raises ECommError when called on the receiving thread, which would wait
  // for itself.
  void RefuseOnReceivingThread() const;

  // The receiving thread: waits until wake_fd is signalled.
  void ReceiveLoop(std::vector<const UdpSocket*> sockets, int wake_fd);
  void ReceiveOne(const UdpSocket& socket, std::vector<std::uint8_t>& buffer);
  // The broadcast receiver on the line's port, or null when the port cannot
  // be shared; the address-bound sockets are left exclusive then.
  static std::unique_ptr<UdpSocket> BindBroadcastReceiver(const Sockets& listening, std::uint16_t port);
  // The LocalAddress of a broadcast that arrived through that interface
  // address: the address when the line listens on it, else empty.
  std::string BroadcastLocalAddress(const std::optional<in_addr>& local) const;

  LocalAddressQuery local_addresses_;

  std::atomic<int> port_{kDefaultPort};
  std::atomic<int> device_port_{0};
  std::atomic<std::int64_t> broadcast_interval_{0};
  std::atomic<std::int64_t> id_request_interval_{kDefaultIdRequestInterval};
  std::atomic<bool> send_via_listen_sockets_{false};

  // Serialises Open, Close, SetPort and destruction.
  std::mutex lifecycle_mutex_;
  std::atomic<bool> open_{false};
  // Guards the socket lists: Send reads them (shared), activation and
  // deactivation replace them (exclusive). Never held while waiting for the
  // receiving thread, whose handler may send.
  mutable std::shared_mutex sockets_mutex_;
  Sockets listening_;
  Sockets sending_;
  // Receive-only, on (any address, Port): the line's broadcasts. None when
  // the line listens on the any address already.
  std::unique_ptr<UdpSocket> broadcasts_;
  int wake_fd_ = -1;  // eventfd that ends the receiving thread
  std::thread receiver_;
  // The receiving thread's ID while it runs, for RefuseOnReceivingThread.
  std::atomic<std::thread::id> receiver_id_{};

  mutable std::mutex peer_mutex_;
  std::string peer_host_;
  int peer_port_ = 0;
  std::string local_address_;
};

}  // namespace kavor2::device
