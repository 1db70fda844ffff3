#pragma once
// TCommunicationsAbstract: what a line needs of its transport, whether the
// frames travel in UDP datagrams or over a serial bus. The transport puts
// one frame on the line and takes one off; it knows nothing of the K2 packet
// inside.
//
// Contract (every transport keeps it):
//
// Threads.
// - Open, Close and the transport's own settings (a port, a speed) are called
//   by the host; they are serialised inside the transport and may be called
//   while the line threads run.
// - BeginPacket, SetData and Send build and send one frame in OutBuffer. They
//   share OutBuffer, so every such sequence is made under the line's send
//   lock; the transport does not lock OutBuffer itself.
// - OnReceive runs on the transport's receiving thread, one frame at a time.
//   InBuffer, PeerHost and the like are written only by that thread, just
//   before the call; read them from inside the handler.
//
// What blocks.
// - Open may take as long as binding or opening the port takes; it never
//   waits for a peer.
// - Close (and anything that re-opens, such as a new port) waits for the
//   receiving thread to end, including an OnReceive call that is running.
//   So never close or re-open from inside the handler, and never while
//   holding a lock that the handler takes.
// - SetOnReceive waits likewise for a running call to return (the same rule
//   on locks applies), so once it returns the old handler is not running and
//   will not run again. A handler may replace itself.
// - Send on a datagram transport never waits for the network: a full socket
//   buffer is a failed send. ReceiveFrame (serial) waits up to its read
//   time-out.
//
// What a short write means. A frame goes out whole or the Send fails; there
// is no partial success for the caller to complete. A Send that fails (or,
// on a datagram transport, that had nowhere to send) returns false and the
// frame is lost: the caller drops it and the device engine's retransmission
// covers it. The transport stays usable; the next frame is tried normally.
//
// Which failures are final. Open (and a re-opening setting) raises
// ECommError when the line cannot work with its settings; the transport is
// then closed and stays closed until it is opened again. Errors
// while receiving are never final: the receiving thread swallows them and
// goes on with the next frame, and what OnReceive throws is swallowed too.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>

#include "device/comm_buffer.h"
#include "device/comm_error.h"
#include "device/id_key_text.h"

namespace kavor2::device {

class TLines;

// The device side of a transport: where frames to the device go, and what
// the transport learns of the device from what it sends: the record's Host,
// Port and LocalAddress. The device record implements it; a transport may be called on the receiving thread and a
// line thread at once, so the implementation keeps each value consistent.
class ICommDevice {
 public:
  virtual ~ICommDevice() = default;
  // The device's IP address (dotted decimal) and UDP port.
  virtual std::string CommHost() const = 0;
  virtual int CommPort() const = 0;
  // The local address the device's frames leave from; empty: every one.
  virtual std::string CommLocalAddress() const = 0;
  // What the last sender's datagram said about where the device is.
  virtual void SetCommHost(const std::string& host) = 0;
  virtual void SetCommPort(int port) = 0;
};

class TCommunicationsAbstract {
 public:
  // Called when a frame has arrived; reads InBuffer.
  using TReceiveEvent = std::function<void()>;

  static constexpr int kDefaultCommandTimeOutMs = 2000;
  static constexpr int kDefaultConnectTimeOutS = 30;
  // Seconds; each device takes it as its key-exchange time-out.
  static constexpr int kDeviceTimeLimitS = 2;

  explicit TCommunicationsAbstract(TLines* owner = nullptr) : owner_(owner) {}
  virtual ~TCommunicationsAbstract() = default;
  TCommunicationsAbstract(const TCommunicationsAbstract&) = delete;
  TCommunicationsAbstract& operator=(const TCommunicationsAbstract&) = delete;

  TLines* Owner() const { return owner_; }

  // Sets or (with an empty handler) clears OnReceive. Waits for a running
  // call of the old handler to return; see the contract above.
  void SetOnReceive(TReceiveEvent handler);
  bool HasOnReceive() const;

  // The frame being built; under the line's send lock.
  TCommBuffer& OutBuffer() { return out_buffer_; }
  // The last frame received; inside OnReceive only.
  TCommBuffer& InBuffer() { return in_buffer_; }

  // Size of the last frame sent successfully.
  std::uint16_t LastSentSize() const { return last_sent_size_.load(); }

  // The device a received packet without sender address belongs to (set by
  // the serial transport; none on Ethernet lines). Not owned.
  ICommDevice* CurrentDevice() const { return current_device_.load(); }
  void SetCurrentDevice(ICommDevice* device) { current_device_.store(device); }

  // Milliseconds and seconds; copied into each device created on the line.
  int CommandTimeOut() const { return command_time_out_.load(); }
  void SetCommandTimeOut(int ms) { command_time_out_.store(ms); }
  int ConnectTimeOut() const { return connect_time_out_.load(); }
  void SetConnectTimeOut(int seconds) { connect_time_out_.store(seconds); }

  // Opens the line; returns whether it is open afterwards. Raises
  // ECommError with a text for the client when it cannot.
  virtual bool Open() = 0;
  virtual bool Close() = 0;
  virtual bool IsOpen() const = 0;

  // Serial lines: one step of the search for a device without an address,
  // and the ID of the device at a short address. Here: NoId.
  virtual void SearchNewDevice(DeviceId& id) { id = NoId; }
  virtual void QueryAddress(std::uint8_t short_address, DeviceId& id);

  // Serial lines: reads one frame into InBuffer (0 = the length comes with
  // the frame). Returns whether a whole frame arrived.
  virtual bool ReceiveFrame(std::size_t expected_length) = 0;

  // Sends OutBuffer to the device, or to every device when it is null.
  // Returns false when nothing was sent or a send failed.
  virtual bool Send(ICommDevice* device) = 0;
  // Starts a frame in OutBuffer; data_flag tells a K2 packet from other
  // frames of the line.
  virtual bool BeginPacket(ICommDevice* device, bool data_flag, std::uint8_t command) = 0;
  // Serial lines: establishes the bus link with the device. Here: false.
  virtual bool Connect(ICommDevice* device);
  // Writes the whole stream into OutBuffer at its position.
  virtual void SetData(std::span<const std::uint8_t> stream);
  // Checks the frame header of InBuffer and leaves the position behind it;
  // data_flag := whether the frame holds a K2 packet. Here: no header, every
  // frame is a K2 packet.
  virtual bool CheckReceived(bool& data_flag);

  // Whether K2 packets on this line carry the sender / receiver address.
  virtual bool SenderOnWire() const { return true; }
  virtual bool ReceiverOnWire() const { return true; }

  // Give the device the address / port of the last sender. Here: nothing.
  virtual void TakeDeviceHost(ICommDevice* device);
  virtual void TakeDevicePort(ICommDevice* device);

  // Serial lines: asks the device for pending data. Here: true.
  virtual bool Poll(ICommDevice* device);

  virtual int DeviceTimeLimit() const { return kDeviceTimeLimitS; }

 protected:
  // For the receiving side of a transport: when OnReceive is set, replaces
  // InBuffer with the frame, rewinds it and calls the handler, swallowing
  // what it throws. Returns whether a handler was set.
  bool DeliverReceived(std::span<const std::uint8_t> frame);
  void SetLastSentSize(std::size_t size);

 private:
  TLines* owner_;
  // Held while the handler runs, so that replacing it waits for the call.
  // Recursive: a handler may replace itself (it runs from a copy).
  mutable std::recursive_mutex receive_mutex_;
  TReceiveEvent on_receive_;
  TCommBuffer out_buffer_;
  TCommBuffer in_buffer_;
  std::atomic<std::uint16_t> last_sent_size_{0};
  std::atomic<ICommDevice*> current_device_{nullptr};
  std::atomic<int> command_time_out_{kDefaultCommandTimeOutMs};
  std::atomic<int> connect_time_out_{kDefaultConnectTimeOutS};
};

}  // namespace kavor2::device
