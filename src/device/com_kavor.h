#pragma once
// TComKavor: the transport of a serial line, a COM port driving a
// half-duplex bus on which this system is the only master. It runs the bus
// transactions (poll, acknowledged data transfer, connect, address query,
// search probe) over the link layer of serial_link.h; the K2 packet travels
// through it unchanged as the payload of data frames.
//
// Threads. Every transaction runs on the line's serial thread under the
// line's LineLock; OnReceive is called from inside Poll on that thread. The
// host opens and closes the port and changes its settings from its own
// thread: the port is guarded by its own lock, held for one read, write or
// purge at a time, so a new speed is applied between two of them.
//
// Port N is DIR/COM<N> when a port directory is given, else /dev/ttyS<N-1>.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "device/comm_abstract.h"
#include "device/serial_link.h"
#include "device/serial_port.h"

namespace kavor2::device {

// The speeds of a serial line by ordinal, br110 (0) to br115200 (12).
enum TComPortBaudRate : std::uint8_t {
  br110, br300, br600, br1200, br2400, br4800, br9600, br14400, br19200, br38400, br56000, br57600, br115200
};
inline constexpr int kBaudOrdinals = 13;
int BaudOf(int ordinal);  // the rate of an ordinal; 115200 for one out of range

// A device on the bus as the transport sees it: the link state the
// transactions read and write. The device record provides it.
class ISerialBusDevice : public ICommDevice {
 public:
  virtual DeviceId BusId() const = 0;
  virtual std::uint8_t BusShortAddr() const = 0;
  virtual bool BusLinked() const = 0;
  // true also confirms the link; false leaves the confirmation.
  virtual void SetBusLinked(bool linked) = 0;
  virtual bool BusLinkConfirmed() const = 0;
  virtual void SetBusLinkConfirmed(bool confirmed) = 0;
  virtual std::uint8_t RxToggle() const = 0;
  virtual void SetRxToggle(std::uint8_t toggle) = 0;
  virtual std::uint8_t TxToggle() const = 0;
  virtual void SetTxToggle(std::uint8_t toggle) = 0;
  virtual std::uint8_t BusStatus() const = 0;
  virtual void SetBusStatus(std::uint8_t status) = 0;
};

class TComKavor : public TCommunicationsAbstract {
 public:
  static constexpr int kMaxAttempts = 3;
  static constexpr std::chrono::milliseconds kReadTimeOut{30};
  // Rounded 160000 / baud: the search waits longer at low rates.
  static constexpr int kSearchTimeBase = 160000;
  // A device that sends the same, already acknowledged data frame over and
  // over gets its acknowledge each time, but a poll gives up after this many.
  static constexpr int kMaxRepeatedFrames = 8;
  // Pieces of 256 bytes a purge drops at most: a device that never stops
  // talking must not keep the line in the purge.
  static constexpr int kMaxPurgeReads = 16;
  static constexpr std::size_t kPurgePiece = 256;

  // LastError values.
  static constexpr int kErrorWrite = 273;
  static constexpr int kErrorShortWrite = 274;
  static constexpr int kErrorRead = 275;

  // port_dir: the "/comdir" directory, empty for the system's ports.
  explicit TComKavor(TLines* owner = nullptr, std::string port_dir = {},
                     TSerialPortOpener opener = OpenSystemSerialPort);
  ~TComKavor() override;

  // The device path of port N.
  std::string PortPath() const;

  // Closes first when open; raises ECommError "<path> not open" when the
  // port cannot be opened. Returns true.
  bool Open() override;
  bool Close() override;
  bool IsOpen() const override;

  std::uint8_t ComPort() const { return com_port_.load(); }
  // Taken only while the port is closed.
  void SetComPort(std::uint8_t port);
  int ComPortSpeed() const { return speed_.load(); }
  // An ordinal 0 to 12, re-applied to an open port at once; others are
  // refused (nothing changes).
  void SetComPortSpeed(int ordinal);
  int ComPortDataBits() const { return data_bits_.load(); }
  void SetComPortDataBits(int bits);
  TComStopBits ComPortStopBits() const { return stop_bits_.load(); }
  void SetComPortStopBits(TComStopBits bits);
  TComParity ComPortParity() const { return parity_.load(); }
  void SetComPortParity(TComParity parity);

  // The line's OwnId in text order, sent to every device that is connected.
  void SetLineAddress(const DeviceId& address);

  bool SenderOnWire() const override { return false; }
  bool ReceiverOnWire() const override { return false; }

  // ---- Bus transactions (the serial thread, under the line's LineLock) ------
  // A command frame with the command kCmdBase + offset, addressed by the
  // short address when `addressed` and the link is confirmed, by the ID
  // otherwise; sent at once. Returns whether the write succeeded.
  bool BeginPacket(ICommDevice* device, bool addressed, std::uint8_t offset) override;
  // DataBuffer := the stuffed stream.
  void SetData(std::span<const std::uint8_t> stream) override;
  // DataBuffer fits the capacity the device announced last.
  bool DataFits(const ISerialBusDevice& device) const;
  // The acknowledged transfer of DataBuffer, after BeginPacket with the
  // device's TxToggle. True when the device took it, and also when the link
  // was given up (the packet is then dropped); false keeps it queued.
  bool Send(ICommDevice* device) override;
  // Asks the device for a data frame; a frame that arrives is acknowledged
  // and handed to OnReceive. False when the device did not answer.
  bool Poll(ICommDevice* device) override;
  // Gives the device (addressed by ID) its short address and this line's ID.
  bool Connect(ICommDevice* device) override;
  // The ID of the device with that short address, NoId when none answers.
  void QueryAddress(std::uint8_t short_address, DeviceId& id) override;
  // One probe of the search for a device without an address; the ID once
  // the search has settled all its bits, NoId otherwise.
  void SearchNewDevice(DeviceId& id) override;
  bool ReceiveFrame(std::size_t expected_length) override;

  // 1 while a search is under way. Every setting copies the old value to
  // PreviousSearchMode first.
  int SearchMode() const { return search_mode_.load(); }
  int PreviousSearchMode() const { return previous_search_mode_.load(); }
  void SetSearchMode(int mode);
  int LastError() const { return last_error_.load(); }
  std::chrono::milliseconds ReadTimeOut() const { return std::chrono::milliseconds(read_time_out_ms_.load()); }

 private:
  TSerialSettings Settings() const;
  void ApplySettings();
  // Writes in two pieces: all but the last byte, then the last. A failure
  // purges; both set LastError.
  bool Write(std::span<const std::uint8_t> bytes);
  std::optional<std::size_t> ReadPiece(std::span<std::uint8_t> into);
  void Purge();
  // The reply to the last command frame: code and check byte. Nothing when
  // none came; a wrong check byte purges and gives nothing too.
  std::optional<std::uint8_t> ReadReply();
  bool ResendCommand();
  void LinkFailed(ISerialBusDevice& device);

  const std::string port_dir_;
  const TSerialPortOpener opener_;
  mutable std::mutex port_mutex_;
  std::unique_ptr<ISerialPort> port_;

  std::atomic<std::uint8_t> com_port_{1};
  std::atomic<int> speed_{br115200};
  std::atomic<int> data_bits_{8};
  std::atomic<TComStopBits> stop_bits_{sb1BITS};
  std::atomic<TComParity> parity_{ptNONE};
  std::atomic<int> read_time_out_ms_{static_cast<int>(kReadTimeOut.count())};

  // The serial thread's own.
  serial::Bytes data_buffer_;
  std::uint8_t check_register_ = 0;
  serial::TBusSearch search_;
  std::mutex line_address_mutex_;
  DeviceId line_address_{};

  std::atomic<int> search_mode_{0};
  std::atomic<int> previous_search_mode_{0};
  std::atomic<int> last_error_{0};
  std::atomic<int> last_system_error_{0};
};

}  // namespace kavor2::device
