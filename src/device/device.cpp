#include "device/device.h"

#include <algorithm>
#include <utility>

#include "platform/guid.h"

namespace kavor2::device {

namespace {

TDeviceClock CompleteClock(TDeviceClock clock) {
  const TDeviceClock system = SystemDeviceClock();
  if (!clock.Counter || clock.Frequency <= 0) {
    clock.Counter = system.Counter;
    clock.Frequency = system.Frequency;
  }
  if (!clock.Wall) clock.Wall = system.Wall;
  return clock;
}

}  // namespace

TDevice::TDevice(IDeviceEvents* events, TDeviceClock clock)
    : Frequency(CompleteClock(clock).Frequency), events_(events), clock_(CompleteClock(std::move(clock))) {
  RxWorkKey = NewGuid();
  KeyRequestTime = clock_.Counter();
}

TDevice::~TDevice() = default;

void TDevice::SetLine(const std::shared_ptr<IDeviceLine>& line) {
  std::lock_guard lock(identity_mutex_);
  line_ = line;
  line_counters_ = line ? line->TrafficCounters() : nullptr;
}

void TDevice::CountTraffic(TTrafficCounters::Counter TTrafficCounters::*counter) {
  TTrafficCounters::Bump(Counters.*counter);
  if (line_counters_) TTrafficCounters::Bump((*line_counters_).*counter);
}

// ---- Identity ---------------------------------------------------------------

DeviceId TDevice::Id() const {
  std::lock_guard lock(identity_mutex_);
  return id_;
}

DeviceId TDevice::PrevId() const {
  std::lock_guard lock(identity_mutex_);
  return prev_id_;
}

bool TDevice::SetId(const DeviceId& id) {
  std::lock_guard lock(identity_mutex_);
  if (IdEquals(id, id_)) return false;
  prev_id_ = id_;
  id_ = id;
  return true;
}

std::string TDevice::IdText() const { return IdToText(Id()); }

std::string TDevice::Host() const {
  std::lock_guard lock(identity_mutex_);
  return host_;
}

void TDevice::SetHost(std::string host) {
  std::lock_guard lock(identity_mutex_);
  host_ = std::move(host);
}

std::string TDevice::LocalAddress() const {
  std::lock_guard lock(identity_mutex_);
  return local_address_;
}

void TDevice::SetLocalAddress(std::string address) {
  std::lock_guard lock(identity_mutex_);
  local_address_ = std::move(address);
}

DeviceId TDevice::LineAddress() const {
  std::shared_ptr<IDeviceLine> line;
  {
    std::lock_guard lock(identity_mutex_);
    line = line_.lock();
    if (!line) return line_address_;
  }
  // Asked outside the identity lock: the line has locks of its own.
  const DeviceId address = ReverseId(line->OwnId());
  std::lock_guard lock(identity_mutex_);
  line_address_ = address;
  return address;
}

void TDevice::SetLinked(bool value) {
  Linked = value;
  if (value) LinkConfirmed = true;
}

// ---- Keys, enabling and reset -------------------------------------------------

std::string TDevice::MasterKeyText() const {
  std::lock_guard engine(EngineLock);
  return KeyToText(MasterKey);
}

void TDevice::SetMasterKey(const DeviceKey& key) {
  std::lock_guard engine(EngineLock);
  MasterKey = key;
}

void TDevice::SetMasterKeyText(std::string_view text) {
  SetMasterKey(TextToKey(text));
  SetEnabled(true);
}

void TDevice::Release() {
  SetEnabled(false);
  SetMasterKey(DefaultKey);
}

void TDevice::SetEnabled(bool value) { ApplyEnabled(value, true); }

void TDevice::DisableStopped() { ApplyEnabled(false, false); }

void TDevice::ApplyEnabled(bool value, bool wait_for_disconnect) {
  std::lock_guard serial(enable_mutex_);
  if (!value) {
    bool queued = false;
    {
      std::lock_guard engine(EngineLock);
      if (Connected) {
        ClearSendQueues();
        queued = QueueLogicalDisconnect();
      }
    }
    // The tick needs EngineLock to move the disconnect on, so it is not held
    // while waiting. Reset below empties the wire queue, so the wait covers
    // that queue too: otherwise the disconnect would be dropped unsent.
    if (queued && wait_for_disconnect) {
      const auto deadline = std::chrono::steady_clock::now() + kDisconnectWait;
      if (SendQueues[sqService].WaitUntilEmpty(deadline)) {
        // The tick takes the disconnect from queue 13 and puts it on the
        // wire in one pass under EngineLock; taking the lock once lets that
        // pass end, so the wire queue is not looked at in between.
        { std::lock_guard engine(EngineLock); }
        WireQueue.WaitUntilEmpty(deadline);
      }
    }
  }
  std::lock_guard engine(EngineLock);
  if (value != Enabled) Reset();
  Enabled = value;
}

void TDevice::ClearSendQueues() {
  for (auto& queue : SendQueues) queue.Clear();
}

void TDevice::Reset() {
  std::lock_guard engine(EngineLock);
  if (Connected) {
    CountTraffic(&TTrafficCounters::Disconnects);
    PostDeviceState(kStateDisconnected);
  }

  ClearSendQueues();
  AwaitSync = true;
  Connected = false;
  AckedServicePNum = 0;
  ProfileRequested = false;
  PeerParameter = kDefaultPeerParameter;
  PeerParameterInForce = kDefaultPeerParameter;
  PeerFramesPerPacket = kDefaultFramesPerPacket;
  FramesPerPacket = kDefaultFramesPerPacket;
  MasterCounterKnown = false;
  LastRxTime = 0;

  RxWorkKey = DefaultKey;
  LastSentQueue = kNoSendQueue;
  LiveState = 0;
  // The frames in flight went with the send queues.
  in_flight_frames_.clear();
  data_resends_ = 0;

  DataQueue.Clear();
  InQueue.Clear();
  WireQueue.Clear();
  {
    std::lock_guard sub_devices(SubDeviceLock);
    SubDevices.Clear();
  }

  IdExchange = 0;
  IdRequestDue = true;
  ResendNow = false;
  KeyExchangeState = 0;
}

// ---- Profile --------------------------------------------------------------------

std::uint8_t TDevice::ProfileByte() const {
  std::lock_guard engine(EngineLock);
  return Header.ProfileByte();
}

void TDevice::SetProfile(std::uint8_t profile) {
  std::lock_guard engine(EngineLock);
  if (Header.Profile == profile) return;
  Header.Profile = profile;
  if (Connected) ProfileChanged = true;
}

void TDevice::SetProfileBit(std::uint8_t bit, bool on) {
  std::lock_guard engine(EngineLock);
  const std::uint8_t profile = Header.Profile;
  SetProfile(on ? static_cast<std::uint8_t>(profile | bit) : static_cast<std::uint8_t>(profile & ~bit));
}

// ---- Random values -----------------------------------------------------------------

std::uint32_t TDevice::RandomValue() {
  std::uint32_t value = 0;
  platform::RandomBytes(reinterpret_cast<std::uint8_t*>(&value), sizeof value);
  return value % (kMaxRandomValue + 1);
}

DeviceKey TDevice::NewGuid() {
  static_assert(sizeof(platform::Guid{}.bytes) == kKeySize);
  DeviceKey key{};
  const platform::Guid guid = platform::NewGuid();
  std::copy(guid.bytes.begin(), guid.bytes.end(), key.begin());
  return key;
}

}  // namespace kavor2::device
