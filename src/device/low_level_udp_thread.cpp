#include "device/low_level_udp_thread.h"

#include <chrono>
#include <cstdlib>
#include <utility>

#include "device/device.h"
#include "device/device_comm_address.h"
#include "device/devices.h"
#include "device/fixed_keys.h"
#include "device/kavor_session.h"
#include "device/lines.h"
#include "device/udp_kavor.h"

namespace kavor2::device {
namespace {

constexpr std::chrono::milliseconds kPassPause{1};
// The kind of the data records that carry the line's traces.
constexpr std::int32_t kTraceKind = 1;

// Clears the transport's handler when the run ends, however it ends, so no
// datagram is handled once the thread is gone.
class ReceiveHandlerInstalled {
 public:
  ReceiveHandlerInstalled(TUdpKavor& transport, TCommunicationsAbstract::TReceiveEvent handler)
      : transport_(transport) {
    transport_.SetOnReceive(std::move(handler));
  }
  ~ReceiveHandlerInstalled() { transport_.SetOnReceive(nullptr); }
  ReceiveHandlerInstalled(const ReceiveHandlerInstalled&) = delete;
  ReceiveHandlerInstalled& operator=(const ReceiveHandlerInstalled&) = delete;

 private:
  TUdpKavor& transport_;
};

}  // namespace

TLowLevelUdpThread::TLowLevelUdpThread(TLine& line, TUdpKavor& transport)
    : TAbstractThread(line), transport_(transport) {}

TLowLevelUdpThread::~TLowLevelUdpThread() { TerminateAndWait(); }

// ---- The run ------------------------------------------------------------------

void TLowLevelUdpThread::Execute() {
  Line().InitOwnId();
  last_broadcast_.reset();
  const ReceiveHandlerInstalled installed(transport_, [this] { HandleReceived(); });
  const TDeviceClock& clock = Line().Session().Environment().Clock;

  while (!Terminated()) {
    const std::int64_t interval = transport_.BroadcastInterval();
    if (interval != 0 &&
        (!last_broadcast_ || SecondsSince(*last_broadcast_) > static_cast<double>(interval))) {
      SendBroadcastIdRequest();
      last_broadcast_ = clock.Counter();
    }
    DevicePass();
    PauseOrTerminated(kPassPause);
  }
  // Deleted devices are not kept alive by a stopped line.
  line_devices_.clear();
  line_devices_generation_.reset();
}

void TLowLevelUdpThread::DevicePass() {
  const TDevices& devices = Line().Session().Devices();
  // The list is fetched again only after an add or a delete: gathering the
  // line's devices from the whole collection every millisecond was most of
  // an idle line's cost.
  const std::uint64_t generation = devices.Generation();
  if (!line_devices_generation_ || *line_devices_generation_ != generation) {
    line_devices_ = devices.DevicesOnLine(Line().ID);
    line_devices_generation_ = generation;
  }
  for (const std::shared_ptr<TDevice>& device : line_devices_) {
    const std::uint8_t exchange = device->IdExchange;
    if ((exchange & (ieIdSent | ieIdReceived)) == (ieIdSent | ieIdReceived)) {
      SendWirePacket(*device);
      continue;
    }
    if (device->IdRequestDue ||
        SecondsSince(device->LastIdRequest) > static_cast<double>(transport_.IdRequestInterval())) {
      SendIdRequest(*device, IdRequestDetail(exchange));
      device->LastIdRequest = Line().Session().Environment().Clock.Counter();
      device->IdRequestDue = false;
    }
  }
}

double TLowLevelUdpThread::SecondsSince(std::int64_t since) const {
  const TDeviceClock& clock = Line().Session().Environment().Clock;
  const std::int64_t frequency = clock.Frequency > 0 ? clock.Frequency : 1;
  return static_cast<double>(std::llabs(clock.Counter() - since)) / static_cast<double>(frequency);
}

// ---- Sending ------------------------------------------------------------------

void TLowLevelUdpThread::SendBroadcastIdRequest() {
  const std::vector<std::uint8_t> message = BuildIdExchangeMessage(kIdRequest, ReverseId(Line().OwnId()));
  std::lock_guard lock(SendLock);
  transport_.BeginPacket(nullptr, false, kEthernetCommand);
  transport_.SetData(message);
  if (transport_.Send(nullptr)) TTrafficCounters::Bump(Line().Counters().PacketsOut);
}

void TLowLevelUdpThread::SendIdRequest(TDevice& device, std::string_view detail) {
  SendIdMessage(device, kIdRequest, TraceIdRequestSent() + std::string(detail));
}

void TLowLevelUdpThread::SendIdAnswer(TDevice& device, std::string_view detail) {
  SendIdMessage(device, kIdAnswer, TraceIdAnswerSent() + std::string(detail));
}

void TLowLevelUdpThread::SendIdMessage(TDevice& device, std::uint8_t kind, std::string trace_text) {
  const std::vector<std::uint8_t> message = BuildIdExchangeMessage(kind, ReverseId(Line().OwnId()));
  {
    TDeviceCommAddress address(device);
    std::lock_guard lock(SendLock);
    transport_.BeginPacket(&address, false, kEthernetCommand);
    transport_.SetData(message);
    if (transport_.Send(&address)) TTrafficCounters::Bump(Line().Counters().PacketsOut);
  }
  // Marked whether or not the datagram left: a lost one is the same to the
  // device, and the engine's time-outs cover what follows.
  device.IdExchange |= ieIdSent;
  if (device.TraceOn) PostTrace(device, std::move(trace_text), message);
}

void TLowLevelUdpThread::SendWirePacket(TDevice& device) {
  const std::shared_ptr<const TK2Message> packet = device.PeekWire();
  if (!packet) return;
  {
    TDeviceCommAddress address(device);
    std::lock_guard lock(SendLock);
    transport_.BeginPacket(&address, packet->DataFlag, kEthernetCommand);
    transport_.SetData(packet->Data);
    // A failed send drops the packet; the engine's retransmission covers it.
    if (transport_.Send(&address)) TTrafficCounters::Bump(Line().Counters().PacketsOut);
  }
  // Taken only now, so that whoever waits for the wire queue to drain (a
  // device being disabled) waits until the packet has really left. A Reset
  // meanwhile has dropped it already.
  device.PopWire(packet);
}

void TLowLevelUdpThread::PostTrace(TDevice& device, std::string text, std::span<const std::uint8_t> data) {
  auto record = std::make_shared<TK2Message>();
  record->Device = device.weak_from_this();
  record->DeviceText = device.IdText();
  record->DataFlag = false;
  record->TraceText = std::move(text);
  record->Data.assign(data.begin(), data.end());
  Line().PostData(kTraceKind, std::move(record));
}

// ---- Receiving ----------------------------------------------------------------

void TLowLevelUdpThread::HandleReceived() {
  bool data_flag = false;
  if (!transport_.CheckReceived(data_flag)) return;
  // Every datagram of the protocol counts for the line, whoever sent it.
  TTrafficCounters::Bump(Line().Counters().PacketsIn);
  const std::span<const std::uint8_t> rest = transport_.InBuffer().Rest();
  if (data_flag) {
    HandleK2Packet(rest);
  } else {
    HandleIdExchange(rest);
  }
}

void TLowLevelUdpThread::HandleIdExchange(std::span<const std::uint8_t> message) {
  const std::optional<TIdExchangeMessage> parsed = ParseIdExchangeMessage(message);
  if (!parsed) return;
  const DeviceId& id = parsed->Id;
  if (IsOwnId(id)) return;

  TKavorSession& session = Line().Session();
  std::shared_ptr<TDevice> device = session.FindDeviceOnLine(Line().ID, id);
  bool found_by_host = false;
  if (!device) {
    device = FindDeviceByHost(transport_.PeerHost(), 0);
    found_by_host = device != nullptr;
  }
  if (device) LearnAddress(*device, id, found_by_host);

  switch (parsed->Kind) {
    case kIdRequest:
      if (device) {
        if (device->TraceOn) PostTrace(*device, TraceIdRequestReceived(), message);
        TakeLocalAddress(*device);
        device->IdExchange |= ieIdReceived;
        SendIdAnswer(*device, IdAnswerToKnownDetail());
      } else if (Line().AutoAddDevice) {
        device = AddDeviceFromId(id, false);
        if (!device) return;
        if (device->TraceOn) PostTrace(*device, TraceIdRequestReceived(), message);
        device->IdExchange |= ieIdReceived;
        SendIdAnswer(*device, IdAnswerToNewDetail());
      }
      break;
    case kIdAnswer:
      if (device) {
        if (device->TraceOn) PostTrace(*device, TraceIdAnswerReceived(), message);
        device->IdExchange |= ieIdReceived;
        TakeNewId(*device, id, found_by_host);
      } else {
        // An answer to this system's request (a broadcast one, say) adds the
        // device whatever AutoAddDevice says.
        device = AddDeviceFromId(id, true);
        if (!device) return;
        device->IdExchange |= ieIdSent | ieIdReceived;
        if (device->TraceOn) PostTrace(*device, TraceIdAnswerAddedDevice(), message);
      }
      break;
    default:
      break;  // the address was learnt; nothing more
  }
}

void TLowLevelUdpThread::HandleK2Packet(std::span<const std::uint8_t> packet) {
  const std::optional<TK2Routing> routing = ParseK2Routing(packet);
  if (!routing) return;
  // Packets without a sender address belong to the transport's current
  // device, which an Ethernet line never has: they are dropped.
  if (!routing->SenderAddress) return;
  if (routing->ReceiverAddress && !IdEquals(ReverseId(*routing->ReceiverAddress), Line().OwnId())) return;

  const DeviceId& sender = *routing->SenderAddress;
  std::shared_ptr<TDevice> device = Line().Session().FindDeviceOnLine(Line().ID, sender);
  bool found_by_host = false;
  if (!device) {
    device = FindDeviceByHost(transport_.PeerHost(), 0);
    found_by_host = device != nullptr;
  }
  if (!device) return;

  TakeLocalAddress(*device);
  TDeviceCommAddress address(*device);
  if (!device->PrimaryIP) {
    transport_.TakeDeviceHost(&address);
  } else {
    TakeNewId(*device, sender, found_by_host);
  }
  if (!device->PrimaryPort) transport_.TakeDevicePort(&address);

  auto message = std::make_shared<TK2Message>();
  message->DataFlag = true;
  message->Data.assign(packet.begin(), packet.end());
  // A full queue drops the packet; the device retransmits.
  device->PushReceived(std::move(message));
}

bool TLowLevelUdpThread::IsOwnId(const DeviceId& id) const {
  // This line's own broadcast heard on the line, or another line's of this
  // system whose device port is this line's port: neither is a device, and
  // answering would make the lines add each other.
  for (const std::shared_ptr<TLine>& line : Line().Session().Lines().All()) {
    const DeviceId own = line->OwnId();
    // A line whose thread has not started has no ID yet (an Ethernet line's
    // always has a non-zero byte).
    if (own != DeviceId{} && IdEquals(id, ReverseId(own))) return true;
  }
  return false;
}

std::shared_ptr<TDevice> TLowLevelUdpThread::FindDeviceByHost(const std::string& host, int port) const {
  for (const std::shared_ptr<TDevice>& device : Line().Session().Devices().DevicesOnLine(Line().ID)) {
    if (device->Host() == host && (port == 0 || device->Port == port)) return device;
  }
  return nullptr;
}

void TLowLevelUdpThread::LearnAddress(TDevice& device, const DeviceId& id, bool found_by_host) {
  TakeNewId(device, id, found_by_host);
  TDeviceCommAddress address(device);
  if (!device.PrimaryIP && !found_by_host) transport_.TakeDeviceHost(&address);
  TakeLocalAddress(device);
  if (!device.PrimaryPort) transport_.TakeDevicePort(&address);
}

void TLowLevelUdpThread::TakeNewId(TDevice& device, const DeviceId& id, bool found_by_host) {
  if (device.PrimaryID || !found_by_host) return;
  if (device.SetId(id)) Line().PostDeviceIdChanged(device);
}

void TLowLevelUdpThread::TakeLocalAddress(TDevice& device) {
  if (device.LocalAddress().empty()) device.SetLocalAddress(transport_.LocalAddress());
}

std::size_t TLowLevelUdpThread::AutoAddedDevices() const {
  std::size_t count = 0;
  for (const std::shared_ptr<TDevice>& device : Line().Session().Devices().DevicesOnLine(Line().ID)) {
    if (!device->AddedByClient) ++count;
  }
  return count;
}

std::shared_ptr<TDevice> TLowLevelUdpThread::AddDeviceFromId(const DeviceId& id, bool from_answer) {
  TLine& line = Line();
  TKavorSession& session = line.Session();
  const bool fixed_port = line.FixedDevicePort;
  const int port = from_answer || fixed_port ? transport_.DevicePort() : transport_.PeerPort();
  const DeviceKey key = session.UseMasterKeys ? session.MasterKeyFor(id) : DefaultKey;

  std::shared_ptr<TDevice> device;
  {
    std::lock_guard lock(line.LineLock());
    if (AutoAddedDevices() >= kMaxAutoAddedDevices) return nullptr;
    try {
      device = session.Devices().AddEthernetDevice(line.ID, id, transport_.LocalAddress(), false,
                                                   line.DefaultPrimaryIP, port, transport_.PeerHost(),
                                                   line.DefaultPrimaryID, key);
    } catch (const EDeviceRegistryError&) {
      // A duplicate, say: unanswered; the device's next message tries again.
      return nullptr;
    }
  }
  device->PrimaryPort = !line.AutoAddDevice || from_answer ? true : fixed_port;
  line.PostDeviceAdded(*device);
  return device;
}

}  // namespace kavor2::device
