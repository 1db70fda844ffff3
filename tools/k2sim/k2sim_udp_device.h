#pragma once
// One simulated Ethernet device on its own UDP socket: the device side of
// the ID exchange, then TSimDevice over the socket. It does not wait on
// anything itself; the driver hands it each datagram and calls Poll with
// the time, so a test can drive it from one thread.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <netinet/in.h>

#include "device/udp_socket.h"
#include "k2sim/k2sim_device.h"

namespace kavor2::k2sim {

// Sub-device states of a route report.
inline constexpr std::uint8_t kRouteConnected = 1;

struct TUdpSimConfig {
  device::DeviceId Id{};  // stored order
  device::DeviceKey MasterKey = device::DefaultKey;
  sockaddr_in Service{};  // where the line listens
  std::int64_t IdRequestEveryMs = 1'000;
  std::int64_t StatusEveryMs = 10'000;
  std::int64_t SendEveryMs = 0;  // 0: no timed frames
  Bytes Data;                    // timed data frame content, without its length byte
  Bytes Stream;                  // timed service stream data, when not empty
  bool Routes = false;           // report sub-devices on connecting
};

// One event: the device, a short name and the bytes it concerns.
using TSimEventSink = std::function<void(const device::DeviceId& id, const std::string& event, const Bytes& data)>;

class TUdpSimDevice {
 public:
  // Takes the bound socket; raises nothing.
  TUdpSimDevice(TUdpSimConfig config, std::unique_ptr<device::UdpSocket> socket, TSimEventSink sink);

  const device::DeviceId& Id() const { return config_.Id; }
  int Descriptor() const { return socket_->Descriptor(); }
  // The line's ID as it sent it (ReverseId of its own ID), once known.
  const std::optional<device::DeviceId>& LineId() const { return line_id_; }
  bool IdAnswered() const { return id_answered_; }
  bool Connected() const { return sim_ && sim_->Connected(); }

  // Reads every datagram waiting on the socket and answers it.
  void ReceiveAll(std::int64_t now_ms);
  // One datagram from the service.
  void HandleDatagram(ByteView datagram, std::int64_t now_ms);
  // Timers: the own ID request, status words, timed frames.
  void Poll(std::int64_t now_ms);

  // Commands: each does nothing (and says so) before the key exchange.
  void SendData(const Bytes& content);
  void SendStream(const Bytes& data);
  void SendRoute(std::uint8_t address, std::uint8_t state);
  void SendStatus(std::uint8_t bits);

 private:
  void HandleIdMessage(ByteView message);
  void HandlePacket(ByteView packet);
  void SendIdMessage(std::uint8_t kind);
  void SendPacket(const Bytes& packet);
  void SendDatagram(bool k2_packet, const Bytes& body, const char* event);
  // Turns what TSimDevice gathered since the last look into events.
  void ReportNews();
  bool NeedConnected(const char* what);

  TUdpSimConfig config_;
  std::unique_ptr<device::UdpSocket> socket_;
  TSimEventSink sink_;
  std::unique_ptr<TSimDevice> sim_;
  std::optional<device::DeviceId> line_id_;
  bool id_answered_ = false;
  std::optional<std::int64_t> last_id_request_;
  bool was_connected_ = false;
  std::int64_t last_status_ = 0;
  std::int64_t last_send_ = 0;
  std::uint32_t seed_;
  std::size_t seen_frames_ = 0;
  std::size_t seen_service_ = 0;
  std::size_t seen_acks_ = 0;
  std::size_t seen_refused_ = 0;
  std::size_t seen_auth_ = 0;
  bool seen_disconnect_ = false;
};

}  // namespace kavor2::k2sim
