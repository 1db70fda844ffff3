#pragma once
// TSimBus: devices on a simulated serial bus, the devices' side of the link
// layer. It reads what the line sends (command frames, the length frames
// that follow them), and answers as the addressed devices would: replies
// with their check bytes and the device's capacity in the low half of the
// code, data frames with toggles, search probes answered bit by bit, query
// answers. Behind the link layer each device runs TSimDevice, the same K2
// device side the Ethernet simulator uses, without addresses on the wire.
//
// Like TSimDevice it does no I/O: raw line bytes go in, raw bytes to write
// back come out. One thread drives it.
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "device/serial_link.h"
#include "k2sim/k2sim_device.h"

namespace kavor2::k2sim {

struct TBusSimConfig {
  device::DeviceId Id{};  // stored order
  device::DeviceKey MasterKey = device::DefaultKey;
  // Low half of every reply: free receive capacity in 16-byte units, 0x0F
  // for 255 bytes or more.
  std::uint8_t Capacity = device::serial::kUnknownCapacity;
  // Behaves as if it missed the acknowledge of its first data frame (the
  // key exchange's first answer, say): sends it once more with the same
  // toggle.
  bool RepeatFirstFrame = false;
  std::uint32_t TxMasterCounter = 0;
  std::uint32_t Seed = 1;
};

class TSimBusDevice {
 public:
  explicit TSimBusDevice(TBusSimConfig config);

  const device::DeviceId& Id() const { return config_.Id; }
  std::optional<std::uint8_t> ShortAddr() const { return short_addr_; }
  // The line's ID in text order, as the connect command gave it.
  const std::optional<device::DeviceId>& LineAddress() const { return line_address_; }
  // The K2 side; null until the first connect.
  TSimDevice* Sim() { return sim_.get(); }
  const TSimDevice* Sim() const { return sim_.get(); }
  bool Connected() const { return sim_ && sim_->Connected(); }
  // K2 packets the device sends when polled next, in order.
  void Queue(device::Bytes packet);
  std::size_t Outgoing() const { return outbox_.size() + (pending_ ? 1 : 0); }
  // Data frames it sent again with a toggle the line had acknowledged.
  std::size_t Repeats() const { return repeats_; }
  std::size_t Connects() const { return connects_; }
  // Once connected: its status word allowing data, once per connection.
  void Tick();

 private:
  friend class TSimBus;
  // The reply to a poll: a data frame or "nothing to send".
  device::Bytes PollReply(std::uint8_t command_check);
  device::Bytes Reply(std::uint8_t command_check, std::uint8_t meaning) const;

  TBusSimConfig config_;
  std::optional<std::uint8_t> short_addr_;
  std::optional<device::DeviceId> line_address_;
  std::unique_ptr<TSimDevice> sim_;
  std::uint8_t rx_expected_ = device::serial::kToggleA;
  std::uint8_t tx_toggle_ = device::serial::kToggleA;
  std::deque<device::Bytes> outbox_;
  std::optional<device::Bytes> pending_;  // sent, not yet acknowledged
  bool repeat_pending_;
  std::size_t repeats_ = 0;
  std::size_t connects_ = 0;
  bool announced_ = false;
};

class TSimBus {
 public:
  void Add(TBusSimConfig config);
  std::vector<std::unique_ptr<TSimBusDevice>>& Devices() { return devices_; }
  const std::vector<std::unique_ptr<TSimBusDevice>>& Devices() const { return devices_; }

  // Bytes from the line; returns what the devices write back, stuffed.
  device::Bytes Feed(device::ByteView raw);
  // Every device's Tick.
  void Tick();

  // Frames that failed their check byte or CRC, and broken-off frames.
  std::size_t Rejected() const { return rejected_; }
  // Search probes heard.
  std::size_t Probes() const { return probes_; }

 private:
  enum class TState { Idle, Sync, Command, LengthFrame };
  enum class TFollow { None, Search, Connect, Data };

  void Take(std::uint8_t byte, device::Bytes& out);
  void HandleCommand(device::Bytes& out);
  void HandleLengthFrame(device::Bytes& out);
  TSimBusDevice* Addressed(device::ByteView address_part);
  TSimBusDevice* ByShortAddr(std::uint8_t address);

  std::vector<std::unique_ptr<TSimBusDevice>> devices_;
  TState state_ = TState::Idle;
  device::serial::TUnstuffer unstuffer_;
  device::Bytes frame_;
  TFollow follow_ = TFollow::None;
  TSimBusDevice* target_ = nullptr;
  std::uint8_t toggle_ = 0;
  std::uint8_t command_check_ = 0;
  std::size_t rejected_ = 0;
  std::size_t probes_ = 0;
};

}  // namespace kavor2::k2sim
