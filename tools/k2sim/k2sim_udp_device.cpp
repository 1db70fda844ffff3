#include "k2sim/k2sim_udp_device.h"

#include <array>

#include "device/id_exchange.h"
#include "device/udp_datagram.h"

namespace kavor2::k2sim {

namespace {

constexpr std::size_t kRouteFrameLength = 7;  // L 01 09 T addr skipped state
constexpr std::uint8_t kRouteSkipped = 0;
constexpr std::size_t kFrameLengthByte = 1;
constexpr device::TK2PacketFlags kRouteFlags = device::pfEncrypted | device::pfWorkingKey;

// Different devices must not share working keys or random values.
std::uint32_t SeedFor(const device::DeviceId& id) {
  std::uint32_t seed = 0x9E3779B9u;
  for (std::uint8_t b : id) seed = seed * 31 + b;
  return seed | 1;
}

}  // namespace

TUdpSimDevice::TUdpSimDevice(TUdpSimConfig config, std::unique_ptr<device::UdpSocket> socket, TSimEventSink sink)
    : config_(std::move(config)), socket_(std::move(socket)), sink_(std::move(sink)), seed_(SeedFor(config_.Id)) {}

void TUdpSimDevice::ReceiveAll(std::int64_t now_ms) {
  std::array<std::uint8_t, device::kMaxDatagramSize> buffer{};
  for (;;) {
    int error = 0;
    auto received = socket_->Receive(buffer, error);
    if (!received) return;
    if (received->length > buffer.size()) {
      sink_(config_.Id, "dropped-oversize", {});
      continue;
    }
    HandleDatagram(ByteView(buffer.data(), received->length), now_ms);
  }
}

void TUdpSimDevice::HandleDatagram(ByteView datagram, std::int64_t now_ms) {
  bool k2_packet = false;
  if (!device::ParseDatagramPrefix(datagram, k2_packet)) {
    sink_(config_.Id, "bad-prefix", Bytes(datagram.begin(), datagram.end()));
    return;
  }
  const ByteView body = datagram.subspan(device::kDatagramPrefixSize);
  if (k2_packet) {
    HandlePacket(body);
  } else {
    HandleIdMessage(body);
  }
  Poll(now_ms);
}

void TUdpSimDevice::HandleIdMessage(ByteView message) {
  const auto parsed = device::ParseIdExchangeMessage(message);
  const Bytes bytes(message.begin(), message.end());
  if (!parsed) {
    sink_(config_.Id, "bad-id-message", bytes);
    return;
  }
  if (!line_id_ || !device::IdEquals(*line_id_, parsed->Id)) {
    // A new line (or the service restarted with another ID): start over.
    line_id_ = parsed->Id;
    sim_.reset();
  }
  if (parsed->Kind == device::kIdRequest) {
    sink_(config_.Id, "id-request-received", bytes);
    SendIdMessage(device::kIdAnswer);
  } else {
    sink_(config_.Id, "id-answer-received", bytes);
    id_answered_ = true;
  }
}

void TUdpSimDevice::HandlePacket(ByteView packet) {
  if (!sim_) {
    // The line speaks before the exchange finished on our side; its header
    // names its address, which is what the exchange would have told us.
    const auto routing = device::ParseK2Routing(packet);
    if (!routing || !routing->SenderAddress) {
      sink_(config_.Id, "packet-before-id", Bytes(packet.begin(), packet.end()));
      return;
    }
    line_id_ = *routing->SenderAddress;
  }
  if (!sim_) {
    TSimConfig sim_config;
    sim_config.Id = config_.Id;
    sim_config.LineAddress = *line_id_;
    sim_config.MasterKey = config_.MasterKey;
    sim_config.Seed = seed_++;
    sim_ = std::make_unique<TSimDevice>(sim_config);
    seen_frames_ = seen_service_ = seen_acks_ = seen_refused_ = seen_auth_ = 0;
    seen_disconnect_ = false;
    was_connected_ = false;
  }
  for (const Bytes& answer : sim_->Receive(packet)) SendPacket(answer);
  ReportNews();
}

void TUdpSimDevice::ReportNews() {
  for (; seen_frames_ < sim_->DataFrames().size(); ++seen_frames_) {
    sink_(config_.Id, "data", sim_->DataFrames()[seen_frames_]);
  }
  for (; seen_service_ < sim_->ServicePayloads().size(); ++seen_service_) {
    sink_(config_.Id, "service", sim_->ServicePayloads()[seen_service_]);
  }
  for (; seen_acks_ < sim_->DataAcks().size(); ++seen_acks_) {
    sink_(config_.Id, "data-receipt", Bytes{sim_->DataAcks()[seen_acks_]});
  }
  if (sim_->RefusedPackets() != seen_refused_) {
    seen_refused_ = sim_->RefusedPackets();
    sink_(config_.Id, "packet-refused", {});
  }
  if (sim_->AuthFailures() != seen_auth_) {
    seen_auth_ = sim_->AuthFailures();
    sink_(config_.Id, "auth-failed", {});
  }
  if (sim_->DisconnectReceived() && !seen_disconnect_) {
    seen_disconnect_ = true;
    sink_(config_.Id, "disconnect", {});
  }
}

void TUdpSimDevice::Poll(std::int64_t now_ms) {
  if (!id_answered_ && (!last_id_request_ || now_ms - *last_id_request_ >= config_.IdRequestEveryMs)) {
    last_id_request_ = now_ms;
    SendIdMessage(device::kIdRequest);
  }
  if (!Connected()) return;
  if (!was_connected_) {
    was_connected_ = true;
    sink_(config_.Id, "connected", {});
    last_status_ = now_ms;
    last_send_ = now_ms;
    SendStatus(kStatusDataAllowed);
    if (config_.Routes) {
      SendRoute(1, kRouteConnected);
      SendRoute(2, kRouteConnected);
    }
  }
  if (now_ms - last_status_ >= config_.StatusEveryMs) {
    last_status_ = now_ms;
    SendStatus(kStatusDataAllowed);
  }
  if (config_.SendEveryMs > 0 && now_ms - last_send_ >= config_.SendEveryMs) {
    last_send_ = now_ms;
    SendData(config_.Data);
    if (!config_.Stream.empty()) SendStream(config_.Stream);
  }
}

bool TUdpSimDevice::NeedConnected(const char* what) {
  if (Connected()) return true;
  sink_(config_.Id, std::string("not-connected-") + what, {});
  return false;
}

void TUdpSimDevice::SendData(const Bytes& content) {
  if (!NeedConnected("data")) return;
  Bytes frame{static_cast<std::uint8_t>(content.size() + kFrameLengthByte)};
  frame.insert(frame.end(), content.begin(), content.end());
  SendPacket(sim_->DataPacket({frame}));
  sink_(config_.Id, "data-sent", frame);
}

void TUdpSimDevice::SendStream(const Bytes& data) {
  if (!NeedConnected("stream")) return;
  SendPacket(sim_->ServiceStream(data));
  sink_(config_.Id, "stream-sent", data);
}

void TUdpSimDevice::SendRoute(std::uint8_t address, std::uint8_t state) {
  if (!NeedConnected("route")) return;
  const Bytes frame{kRouteFrameLength, device::ftCommand, device::cmdRoute, device::atOneByte,
                    address, kRouteSkipped, state};
  SendPacket(sim_->Build(device::ServicePackage, kRouteFlags, frame));
  sink_(config_.Id, "route-sent", frame);
}

void TUdpSimDevice::SendStatus(std::uint8_t bits) {
  if (!NeedConnected("status")) return;
  SendPacket(sim_->StatusWord(bits));
  sink_(config_.Id, "status-sent", Bytes{bits});
}

void TUdpSimDevice::SendIdMessage(std::uint8_t kind) {
  SendDatagram(false, device::BuildIdExchangeMessage(kind, config_.Id),
               kind == device::kIdRequest ? "id-request-sent" : "id-answer-sent");
}

void TUdpSimDevice::SendPacket(const Bytes& packet) { SendDatagram(true, packet, nullptr); }

void TUdpSimDevice::SendDatagram(bool k2_packet, const Bytes& body, const char* event) {
  const auto prefix = device::MakeDatagramPrefix(k2_packet);
  Bytes datagram(prefix.begin(), prefix.end());
  datagram.insert(datagram.end(), body.begin(), body.end());
  if (const int error = socket_->SendTo(config_.Service, datagram); error != 0) {
    sink_(config_.Id, "send-failed", datagram);
    return;
  }
  if (event) sink_(config_.Id, event, body);
}

}  // namespace kavor2::k2sim
