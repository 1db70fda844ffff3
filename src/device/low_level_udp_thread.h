#pragma once
// TLowLevelUdpThread: the low-level thread of an Ethernet line, and the
// receive handler it installs on the line's UDP transport.
//
// Its run: compute the line's OwnId, install the receive handler, then pass
// after pass (1 ms apart): the broadcast ID request when its interval is
// up; for every device of the line, either one packet from its wire queue
// (once both sides know each other's ID) or an ID request when one is due.
//
// The receive handler runs on the transport's receiving thread. It routes
// each datagram: ID exchange messages update the device they come from (by
// its ID, else by the sender's IP address), are answered, and may add a
// device; K2 packets go into the device's InQueue. Malformed and foreign
// datagrams are dropped silently.
//
// Locks. SendLock makes every BeginPacket/SetData/Send on the line atomic;
// the run and the handler both send. The handler takes the line's LineLock
// only to add a device. Neither holds a device's EngineLock.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "device/id_exchange.h"
#include "device/line_thread.h"

namespace kavor2::device {

class TDevice;
class TUdpKavor;

class TLowLevelUdpThread final : public TAbstractThread {
 public:
  // Devices a line adds on its own, from what arrives on it, up to this
  // many: a flood of ID messages from ever new addresses must not grow the
  // device collection without bound. Beyond it such messages go unanswered.
  static constexpr std::size_t kMaxAutoAddedDevices = 1024;

  // Created suspended; the line and its transport must outlive the thread.
  TLowLevelUdpThread(TLine& line, TUdpKavor& transport);
  ~TLowLevelUdpThread() override;

 protected:
  void Execute() override;

 private:
  // ---- Sending (each under SendLock) ----------------------------------------
  void SendBroadcastIdRequest();
  // Sends the request or answer, marks ieIdSent and posts the trace with
  // detail appended.
  void SendIdRequest(TDevice& device, std::string_view detail);
  void SendIdAnswer(TDevice& device, std::string_view detail);
  void SendIdMessage(TDevice& device, std::uint8_t kind, std::string trace_text);
  // One packet of the device's wire queue, taken only once it is sent (or
  // failed, which drops it).
  void SendWirePacket(TDevice& device);
  void DevicePass();

  // ---- Receiving ------------------------------------------------------------
  void HandleReceived();
  void HandleIdExchange(std::span<const std::uint8_t> message);
  void HandleK2Packet(std::span<const std::uint8_t> packet);
  // The ID of this line or of another line of the session, in text order.
  bool IsOwnId(const DeviceId& id) const;
  // The first device of the line with that Host and, when port is not 0,
  // that Port.
  std::shared_ptr<TDevice> FindDeviceByHost(const std::string& host, int port) const;
  // What the device's datagram says about it: a new ID (when it was found
  // by its IP address and its ID is not fixed), its host, local address and
  // port.
  void LearnAddress(TDevice& device, const DeviceId& id, bool found_by_host);
  void TakeNewId(TDevice& device, const DeviceId& id, bool found_by_host);
  void TakeLocalAddress(TDevice& device);
  // A device for an unknown ID that announced itself; null when the
  // registry refuses it or the line has kMaxAutoAddedDevices already.
  std::shared_ptr<TDevice> AddDeviceFromId(const DeviceId& id, bool from_answer);
  std::size_t AutoAddedDevices() const;

  // Posts a trace record of the device (data kind 1) carrying data.
  void PostTrace(TDevice& device, std::string text, std::span<const std::uint8_t> data);
  // Seconds since the counter value, as the line's clock measures them.
  double SecondsSince(std::int64_t since) const;

  TUdpKavor& transport_;
  std::mutex SendLock;
  std::optional<std::int64_t> last_broadcast_;  // counter value; none before the first
  // The line's devices as of the registry's generation (run's thread only).
  std::vector<std::shared_ptr<TDevice>> line_devices_;
  std::optional<std::uint64_t> line_devices_generation_;
};

}  // namespace kavor2::device
