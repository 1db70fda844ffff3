#pragma once
// TDevice: everything this system knows about one field device: its
// identity and address on its line, the settings clients change, the state
// of its K2 connection, its queues and its sub-devices.
//
// Threads and locks. A device is shared (std::shared_ptr) by the registry
// and by every thread working on it, so it lives until the last of them lets
// it go, whenever the registry deletes it. Its state falls in four groups:
//
// - Set by the registry before the device is published and never changed:
//   LineID, AddedByClient, SenderOnWire, ReceiverOnWire, KeyExchangeTimeOut.
// - Identity (Id, PrevId, Host, LocalAddress): the line threads change it
//   while lookups read it on every thread, so it is reached only through
//   accessors under the device's identity lock.
// - Settings and flags that the API and the line threads read and write
//   directly: atomics.
// - Protocol state (keys, counters, packet numbers, timers, the header and
//   the AES engine): guarded by EngineLock. The tick holds it for its whole
//   run; Reset, SetProfile, SetMasterKey and the steps of SetEnabled take it
//   on API threads. It is re-entrant so that the tick may call Reset.
//
// Each queue locks itself (TDoubleEndedQueue). DataLock and ServiceLock
// serialise client submissions, SubDeviceLock guards SubDevices and LiveLock
// the status-word decision.
//
// Lock order, outermost first: the line's LineLock, SetEnabled's own lock,
// EngineLock, then DataLock / ServiceLock / LiveLock / SubDeviceLock, then
// the identity lock, the session's sink and a queue's lock. SetEnabled(false)
// waits for the tick with none of the device's locks held but its own, so it
// is never called from the tick itself.
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device/device_clock.h"
#include "device/device_events.h"
#include "device/device_line.h"
#include "device/double_ended_queue.h"
#include "device/fixed_keys.h"
#include "device/id_key_text.h"
#include "device/k2_frames.h"
#include "device/k2_header.h"
#include "device/k2_message.h"
#include "device/sub_device.h"
#include "device/traffic_counters.h"
#include "platform/aes128.h"
#include "subscribers/owned_objects.h"

namespace kavor2::device {

// ---- Send queues ------------------------------------------------------------
// The scheduler takes the lowest non-empty index first; indexes not named
// here stay empty.

inline constexpr std::size_t kSendQueueCount = 15;
enum TSendQueue : std::uint8_t {
  sqPlainReceipt = 0,          // plain receipts
  sqPlainService = 1,          // plain service packets, subscriber data in the plain service stream
  sqMasterCounterRequest = 2,
  sqWorkingKeyAssignment = 3,
  sqMasterCounter = 4,
  sqProfile = 8,               // profile request, profile
  sqStatusWord = 9,
  sqServiceReceipt = 11,       // encrypted receipts to service packets
  sqDataReceipt = 12,          // encrypted receipts to data packets
  sqService = 13,              // encrypted service packets, routes request, logical disconnect
  sqData = 14,                 // client data frames, subscriber data in the data stream
};
// LastSentQueue when no packet is waiting for its trace.
inline constexpr std::uint8_t kNoSendQueue = 15;

// Queue bounds. A device that floods the line, or a client that submits
// faster than the device takes, loses the excess instead of the process
// growing without limit.
inline constexpr std::size_t kInQueueCapacity = 1024;
inline constexpr std::size_t kWireQueueCapacity = 256;
inline constexpr std::size_t kDataQueueCapacity = 4096;
inline constexpr std::size_t kSendQueueCapacity = TDoubleEndedQueue::kDefaultCapacity;

// ---- Flag sets ----------------------------------------------------------------

// IdExchange (Ethernet ID exchange).
inline constexpr std::uint8_t ieIdReceived = 0x01;  // the device's ID was received
inline constexpr std::uint8_t ieIdSent = 0x02;      // this system's ID was sent to the device

// LiveState (status word).
inline constexpr std::uint8_t lvSent = 0x01;
inline constexpr std::uint8_t lvQueued = 0x02;
inline constexpr std::uint8_t lvRepeat = 0x04;

// ---- Defaults -----------------------------------------------------------------

inline constexpr std::uint8_t kNoShortAddr = 255;
inline constexpr std::int32_t kDefaultLiveMessageTimeOut = 10;  // s
inline constexpr std::int32_t kDefaultCommandTimeOut = 2000;    // ms
inline constexpr std::int32_t kDefaultConnectTimeOut = 30;      // s
inline constexpr std::int32_t kDefaultKeyExchangeTimeOut = 2;   // s
inline constexpr std::uint8_t kInitialBusToggle = 0x20;
inline constexpr std::uint8_t kInitialBusStatus = 0x0F;
// State record of a device that refused this system (its negative receipt
// with code 5): device form, Subject := IdText.
inline constexpr std::uint16_t kStateRefused = 11;
// The largest value RandomValue gives.
inline constexpr std::uint32_t kMaxRandomValue = 2147483646;

class TDevice final : public IK2HeaderOwner,
                      public subscribers::IOwnedDevice,
                      public std::enable_shared_from_this<TDevice> {
 public:
  // events may be null: the records are then dropped. It must outlive the
  // device. Parts of the clock left empty are the system's. Destroying a
  // device does not disconnect it: the registry's deletion disables it
  // first.
  TDevice(IDeviceEvents* events, TDeviceClock clock);
  ~TDevice() override;
  TDevice(const TDevice&) = delete;
  TDevice& operator=(const TDevice&) = delete;

  // ---- Set before publication ------------------------------------------------
  std::int32_t LineID = 0;
  bool AddedByClient = false;
  bool SenderOnWire = false;
  bool ReceiverOnWire = false;
  std::int32_t KeyExchangeTimeOut = kDefaultKeyExchangeTimeOut;
  // The device's line, for LineAddress and the line's traffic counters.
  // Set by the registry, before publication.
  void SetLine(const std::shared_ptr<IDeviceLine>& line);

  // ---- Traffic counters ------------------------------------------------------------
  // The device's own traffic: packets it handled and built, and what it
  // found in them. Any thread reads them. Its line counts its packets in and
  // out itself, at the wire, where it also sees those of no device.
  TTrafficCounters Counters;
  // Bumps the device's counter and the same one of its line (the errors,
  // retransmissions, connects and disconnects).
  void CountTraffic(TTrafficCounters::Counter TTrafficCounters::*counter);

  // ---- Identity ------------------------------------------------------------------
  DeviceId Id() const;
  DeviceId PrevId() const;
  // When different from Id: PrevId := Id, Id := id. Returns whether it changed.
  bool SetId(const DeviceId& id);
  std::string IdText() const override;  // IdToText(Id)
  std::string Host() const;
  void SetHost(std::string host);
  // The local interface address through which the device is reached; empty
  // means all interfaces.
  std::string LocalAddress() const;
  void SetLocalAddress(std::string address);
  // ReverseId(OwnId of the line); the last value found when the line is gone.
  DeviceId LineAddress() const;

  // ---- Settings and flags shared with the API and the line threads -------
  std::atomic<std::int32_t> Port{0};
  std::atomic<std::uint8_t> ShortAddr{kNoShortAddr};
  std::atomic<bool> PrimaryID{false};
  std::atomic<bool> PrimaryIP{false};
  std::atomic<bool> PrimaryPort{false};
  std::atomic<bool> Enabled{false};  // changed only through SetEnabled
  std::atomic<bool> Connected{false};
  std::atomic<bool> IsLiveMessage{true};
  std::atomic<std::int32_t> LiveMessageTimeOut{kDefaultLiveMessageTimeOut};  // s
  std::atomic<std::int32_t> CommandTimeOut{kDefaultCommandTimeOut};          // ms
  std::atomic<std::int32_t> ConnectTimeOut{kDefaultConnectTimeOut};          // s
  // Traffic of the device is traced; nothing turns it off.
  const bool TraceOn = true;

  // Ethernet ID exchange.
  std::atomic<std::uint8_t> IdExchange{0};  // ieIdReceived | ieIdSent
  std::atomic<bool> IdRequestDue{true};
  std::atomic<std::int64_t> LastIdRequest{0};
  // Serial bus link.
  std::atomic<bool> Linked{false};
  std::atomic<bool> LinkConfirmed{false};
  std::atomic<std::uint8_t> RxToggle{kInitialBusToggle};
  std::atomic<std::uint8_t> TxToggle{kInitialBusToggle};
  std::atomic<std::uint8_t> BusStatus{kInitialBusStatus};
  // Linked := value; setting it also confirms the link, clearing it does not.
  void SetLinked(bool value);

  // ---- Protocol state: under EngineLock ------------------------------------
  mutable std::recursive_mutex EngineLock;
  DeviceKey MasterKey = DefaultKey;
  DeviceKey RxWorkKey{};
  DeviceKey TxWorkKey{};
  std::uint32_t RxWorkCounter = 0;
  std::uint32_t TxWorkCounter = 0;
  std::uint32_t RxMasterCounter = 0;
  std::uint32_t TxMasterCounter = 0;
  bool MasterCounterKnown = false;
  std::uint8_t KeyExchangeState = 0;  // 0 to 4
  bool AnswerRequested = false;
  std::uint8_t TxServicePNum = 0;
  std::uint8_t TxDataPNum = 0;
  std::uint8_t DataInFlightPNum = 0;
  std::uint8_t ExpectedDataPNum = 0;
  std::uint8_t LastDataPNum = 0;
  std::uint8_t StatusPNum = 0;
  std::uint8_t AckedServicePNum = 0;
  bool AwaitSync = true;
  bool SendSync = true;
  bool SendResync = true;
  bool ProfileChanged = false;
  bool ResendNow = false;
  std::uint8_t LiveState = 0;  // lvSent | lvQueued | lvRepeat
  bool ProfileRequested = false;
  std::uint8_t PeerFramesPerPacket = kDefaultFramesPerPacket;
  std::uint8_t FramesPerPacket = kDefaultFramesPerPacket;
  std::uint16_t PeerParameter = kDefaultPeerParameter;
  std::uint16_t PeerParameterInForce = kDefaultPeerParameter;
  std::int32_t FramesInFlight = 0;
  std::uint16_t BytesInFlight = 0;
  std::uint8_t DataBudget = 0;
  std::uint8_t LastSentQueue = 0;
  std::unique_ptr<TK2Message> LastSentCopy;
  // Counter time stamps; 0 means not set.
  std::int64_t LastLiveTime = 0;
  std::int64_t DataSentTime = 0;
  std::int64_t KeyRequestTime = 0;
  std::int64_t LastRxTime = 0;
  TK2Header Header{this};
  platform::Aes128 Aes{DefaultKey};

  // The counter's ticks per second, read once at construction.
  const std::int64_t Frequency;
  std::int64_t CounterNow() const { return clock_.Counter(); }

  // ---- Locks and queues -------------------------------------------------------------
  std::mutex DataLock;       // data submissions
  std::mutex ServiceLock;    // service submissions
  mutable std::mutex SubDeviceLock;  // SubDevices
  std::mutex LiveLock;       // the status-word decision

  TDoubleEndedQueue InQueue{kInQueueCapacity};
  TDoubleEndedQueue WireQueue{kWireQueueCapacity};
  TDoubleEndedQueue DataQueue{kDataQueueCapacity};
  std::array<TDoubleEndedQueue, kSendQueueCount> SendQueues;
  TSubDevices SubDevices;  // under SubDeviceLock

  // ---- Keys and settings behind the API ----------------------------------------
  std::string MasterKeyText() const;  // KeyToText(MasterKey)
  void SetMasterKey(const DeviceKey& key);
  // MasterKey := TextToKey(text), then SetEnabled(true). Throws
  // platform::RangeError for a text of more than 32 leading hex digits,
  // changing nothing.
  void SetMasterKeyText(std::string_view text);
  // SetEnabled(false), then MasterKey := DefaultKey.
  void Release() override;

  // Disabling a connected device first drops its queued traffic, queues the
  // logical disconnect and waits, for at most kDisconnectWait, until that
  // has left the device (send queue 13 and the wire queue empty); then, when
  // the value changes, Reset. Blocks its caller for up to that long.
  void SetEnabled(bool value);
  static constexpr std::chrono::milliseconds kDisconnectWait{1100};
  // SetEnabled(false) for a device whose line threads have stopped: the
  // logical disconnect is queued but nobody would send it, so it does not
  // wait.
  void DisableStopped();

  // Drops the connection and all queued traffic (posting state 0 when it was
  // connected), empties the sub-device list and restarts the ID exchange.
  // Packet numbers, key counters, TxWorkKey, the settings and Id survive.
  void Reset();

  std::uint8_t ProfileByte() const;
  std::uint8_t Profile() const override { return ProfileByte(); }
  // When different: Profile := profile, and when connected ProfileChanged so
  // that a status word goes out.
  void SetProfile(std::uint8_t profile) override;
  bool GetEvent() const { return (ProfileByte() & kProfileGetEvent) != 0; }
  bool GetCmd() const { return (ProfileByte() & kProfileGetCmd) != 0; }
  void SetGetEvent(bool on) { SetProfileBit(kProfileGetEvent, on); }
  void SetGetCmd(bool on) { SetProfileBit(kProfileGetCmd, on); }

  std::int32_t LineId() const override { return LineID; }

  // 0 to kMaxRandomValue from the OS random source.
  static std::uint32_t RandomValue();
  static DeviceKey NewGuid();

  // ---- Hand-over operations (ownership moves with the message) --------------
  // Each returns false when the queue refused the message (full).
  bool PushReceived(TK2MessagePtr message);
  bool InQueueEmpty() const { return InQueue.IsEmpty(); }
  TK2MessagePtr PopReceived() { return InQueue.TryPopFront(); }  // null when empty
  bool PushWire(TK2MessagePtr message);
  bool WireQueueEmpty() const { return WireQueue.IsEmpty(); }
  std::shared_ptr<const TK2Message> PeekWire() const { return WireQueue.TryPeekFront(); }
  TK2MessagePtr PopWire() { return WireQueue.TryPopFront(); }
  // Takes the peeked message only when it is still the front (a Reset in
  // between has not dropped it).
  TK2MessagePtr PopWire(const std::shared_ptr<const TK2Message>& peeked) {
    return WireQueue.PopFrontIf(peeked.get());
  }
  bool PushData(TK2MessagePtr message);
  bool DataQueueEmpty() const { return DataQueue.IsEmpty(); }
  TK2MessagePtr PopData() { return DataQueue.TryPopFront(); }
  // Appends to SendQueues[index]; throws platform::RangeError for an index
  // past 14.
  bool Enqueue(TK2MessagePtr message, std::size_t index);

  // Client data for the data stream: a message whose Data and Plain hold the
  // bytes, under DataLock into DataQueue.
  bool SubmitData(std::vector<std::uint8_t> stream);
  // A client service packet, under ServiceLock: encrypted into send queue 13,
  // plain into 1. Queued whether or not the device is connected.
  bool SubmitService(std::vector<std::uint8_t> stream, bool encrypted);
  // Empties the sub-device list and queues a routes request for every route.
  void RequestSubDevices();

  // The address flags this device's packets carry.
  TK2PacketFlags AddressFlags() const;
  // Queues the logical disconnect (send queue 13) when connected. Returns
  // whether it queued one.
  bool QueueLogicalDisconnect();
  // Queues a routes request for sub-devices of that address type (0: all).
  bool QueueRoutesRequest(std::uint8_t type, const DeviceId& address);

  // A route command from the device (the service packet's payload): records
  // the sub-device and posts 10 for a new one, 8 or 9 for a known one that
  // reports state 0 or 1. A report too short to hold its fields, or of a new
  // sub-device past the list's limit, changes nothing.
  void ReportRoute(ByteView payload);
  // Copies, under SubDeviceLock, for the API's readers.
  std::vector<TSubDevice> SubDeviceList() const;
  std::optional<TSubDevice> FindSubDeviceByText(std::string_view text) const;

  // ---- Protocol engine ----------------------------------------------------------
  // Run by the line's top-level thread, each under EngineLock. The engine does
  // no I/O of its own: received packets come from InQueue, built packets go
  // to WireQueue, records go to the events and time comes from the clock.
  // Nothing a device sends makes them throw; a refused packet becomes a trace.

  // One run of the device: the time checks and the key exchange step, at
  // most one packet handed to the wire queue, at most one received packet
  // handled, the status-word decision, the profile request and one client
  // data message moved towards sending. A disabled device only answers.
  void Tick();
  // Checks, decrypts and handles one received packet, which it consumes
  // (posted as a trace or as data records, or dropped).
  void Receive(TK2MessagePtr message);
  // Receive for a disabled device: a trace, and for a packet whose length
  // and CRC are right a plain receipt with code 5.
  void RejectDisabled(TK2MessagePtr message);
  // Merges a received status word into the profile; when the device's copy
  // of this system's bits is stale and the last status word this system sent
  // was acknowledged, ProfileChanged so that a new one goes out.
  void ApplyStatusWord(std::uint8_t status);
  // Posts the trace of the packet handed to the line before, then builds the
  // first message of the lowest non-empty send queue and hands it to the
  // wire queue (at most one).
  void ScheduleNext();

  // Builders: each queues one message for the scheduler and returns false
  // when its send queue is full.
  bool QueueStatusWord();
  bool QueueProfileRequest();
  bool QueueProfile();
  // The subscriber data frame, in the plain service stream or the data stream.
  bool QueueSubscriberData(std::uint16_t subscriber, bool plain_stream);
  // An unencrypted receipt (code 0: positive) for a packet of that type and
  // PNum.
  bool PlainReceipt(std::uint8_t code, std::uint8_t pnum, std::uint8_t acknowledged_dtype);
  // An encrypted receipt for the packet in the header (its PNum and type);
  // nothing for a packet that is not a service or data packet.
  bool Receipt(std::uint8_t code = kReceiptPositive);
  bool QueueMasterKeyCounterRequest();
  bool QueueMasterKeyCounter();
  // This system's working key assignment; a new key also restarts the
  // device's working-key counter at 0.
  bool QueueWorkingKeyAssignment(bool answer_requested, bool new_key);

  // A data packet sent again this many times without an acknowledgment (by
  // time-out, on the device's request or to resynchronise) ends the
  // connection: the device keeps answering but no longer takes data.
  static constexpr std::uint32_t kMaxDataResends = 10;

  // ---- Records for the host ---------------------------------------------------
  // Stamps the message (TimeText, Device, DeviceText) and posts it as a data
  // record of that kind.
  void PostDeviceData(std::int32_t kind, TK2MessagePtr message);
  // Posts a device-form state record: Subject := IdText, Value := code.
  void PostDeviceState(std::uint16_t code);
  // Posts the sub-device record (Kind := 1) with that code.
  void PostDeviceState(std::uint16_t code, std::unique_ptr<TStateDeviceMessage> record);

  // ---- IK2HeaderOwner (called under EngineLock) ------------------------------
  DeviceId HeaderDeviceId() const override { return Id(); }
  DeviceId HeaderLineAddress() const override { return LineAddress(); }
  bool HeaderSenderOnWire() const override { return SenderOnWire; }
  bool HeaderReceiverOnWire() const override { return ReceiverOnWire; }
  std::uint8_t TakeServicePNum() override { return TxServicePNum++; }
  std::uint8_t DataPNum() const override { return TxDataPNum; }
  std::uint32_t TxKeyCounter(bool working_key) const override {
    return working_key ? TxWorkCounter : TxMasterCounter;
  }
  std::uint32_t RxKeyCounter(bool working_key) const override {
    return working_key ? RxWorkCounter : RxMasterCounter;
  }

 private:
  void SetProfileBit(std::uint8_t bit, bool on);
  void ClearSendQueues();
  void ApplyEnabled(bool value, bool wait_for_disconnect);
  TK2MessagePtr NewServiceMessage(TK2PacketFlags flags, Bytes payload, std::string trace_text) const;

  // ---- Engine steps (under EngineLock) ------------------------------------------
  // More than the limit has passed since the time stamp (strictly).
  bool MoreThanSeconds(std::int64_t since, std::int64_t seconds) const;
  bool MoreThanMilliseconds(std::int64_t since, std::int64_t milliseconds) const;
  void CheckKeyTimers();
  void StepKeyExchange();
  void DecideStatusWord();
  void MoveClientData();

  void PostTrace(std::int32_t kind, TK2MessagePtr message, std::string text);
  // A trace of a packet that failed its early checks: fields peeked from
  // the raw bytes.
  void TraceUnparsed(TK2MessagePtr message, std::string_view utf8_text);
  // Decrypts the payload with the key and counter the header selects;
  // `counter` receives the full counter used.
  bool DecryptReceived(std::vector<std::uint8_t>& payload, std::uint32_t& counter);
  void ReceiveServiceReceipt(TK2MessagePtr message);
  void ReceiveDataReceipt(TK2MessagePtr message);
  void ReceiveNegativeReceipt(TK2MessagePtr message, std::uint8_t code);
  void ApplyReceiptTags(const TK2Receipt& receipt);
  void ReceiveServicePackage(TK2MessagePtr message);
  void ReceiveKeyCommand(TK2MessagePtr message, std::uint8_t command, std::uint8_t frame_length);
  void ReceiveWorkingKeyAssignment(TK2MessagePtr message, const TK2WorkingKeyAssignment& assignment);
  void ReceiveDataPackage(TK2MessagePtr message);
  void ReceiveOutOfSequence(TK2MessagePtr message);

  TK2MessagePtr AssembleData();
  // Turns the message's payload into the finished packet. False, consuming
  // no number or counter, when it would not fit the length byte.
  bool BuildPacket(TK2Message& message);
  void StampPreviousPacket();
  void PostSentTrace();
  // The frames of the data packet in flight are still the front of send
  // queue 14 (no clear has dropped them).
  bool InFlightFramesAtFront() const;
  void AcknowledgeInFlight(std::size_t count);

  // The frames of the data packet in flight, front first, as they were taken
  // from send queue 14; empty when nothing is in flight.
  std::vector<std::shared_ptr<const TK2Message>> in_flight_frames_;
  // Resends of the packet in flight since it was first sent.
  std::uint32_t data_resends_ = 0;

  IDeviceEvents* const events_;
  const TDeviceClock clock_;
  std::mutex enable_mutex_;  // one SetEnabled at a time

  mutable std::mutex identity_mutex_;
  DeviceId id_{};
  DeviceId prev_id_{};
  std::string host_;
  std::string local_address_;
  std::weak_ptr<IDeviceLine> line_;
  mutable DeviceId line_address_{};
  // The line's counters; set with the line, before publication, so the
  // threads read it without the identity lock.
  std::shared_ptr<TTrafficCounters> line_counters_;
};

}  // namespace kavor2::device
