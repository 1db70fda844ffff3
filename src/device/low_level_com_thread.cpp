#include "device/low_level_com_thread.h"

#include <chrono>
#include <mutex>

#include "device/com_kavor.h"
#include "device/device.h"
#include "device/device_bus_address.h"
#include "device/devices.h"
#include "device/fixed_keys.h"
#include "device/id_exchange.h"
#include "device/kavor_session.h"
#include "device/lines.h"

namespace kavor2::device {
namespace {

constexpr std::chrono::milliseconds kPassPause{1};

bool IsLinked(const TDevice& d) { return d.Linked; }
bool HasWire(const TDevice& d) { return d.Linked && !d.WireQueueEmpty(); }
bool LinkedUnconfirmed(const TDevice& d) { return d.Linked && !d.LinkConfirmed; }
bool LinkedConfirmed(const TDevice& d) { return d.Linked && d.LinkConfirmed; }
bool ToLink(const TDevice& d) { return d.AddedByClient && !d.Linked; }

}  // namespace

TLowLevelComThread::TLowLevelComThread(TLine& line, TComKavor& transport)
    : TAbstractThread(line), transport_(transport) {
  transport_.SetOnReceive([this] { HandleReceived(); });
}

TLowLevelComThread::~TLowLevelComThread() {
  TerminateAndWait();
  transport_.SetOnReceive(nullptr);
}

void TLowLevelComThread::Execute() {
  Line().InitOwnId();
  transport_.SetLineAddress(ReverseId(Line().OwnId()));
  positions_.fill(0);
  while (!Terminated()) {
    const std::size_t before_mode = static_cast<std::size_t>(transport_.SearchMode());
    const std::size_t kind = Step();
    // A change of the search mode starts the next pass at once.
    if (kind == wkDiscover && static_cast<std::size_t>(transport_.SearchMode()) != before_mode) continue;
    PauseOrTerminated(kPassPause);
  }
}

std::size_t TLowLevelComThread::Step() {
  const std::size_t count = Line().CountDevices();
  const std::size_t kind = count > 0 ? scheduler_.Choose() : static_cast<std::size_t>(wkDiscover);
  std::lock_guard lock(Line().LineLock());
  switch (kind) {
    case wkPoll: PollNext(); break;
    case wkSend: SendNext(); break;
    case wkDiscover:
      if (Discover()) return kind;  // fresh schedule: nothing to consume
      break;
    default: RefreshNext(); break;
  }
  if (count > 0) scheduler_.Consume(kind);
  return kind;
}

std::shared_ptr<TDevice> TLowLevelComThread::NextDevice(std::size_t& position, TCondition condition) const {
  const std::vector<std::shared_ptr<TDevice>> devices = Line().Session().Devices().Items();
  if (devices.empty()) return nullptr;
  std::size_t start = position + 1;
  if (start >= devices.size()) start = 0;
  for (std::size_t i = 0; i < devices.size(); ++i) {
    const std::size_t index = (start + i) % devices.size();
    const std::shared_ptr<TDevice>& device = devices[index];
    if (device->LineID == Line().ID && condition(*device)) {
      position = index;
      return device;
    }
  }
  return nullptr;
}

// ---- The kinds of work ------------------------------------------------------------

void TLowLevelComThread::PollNext() {
  const std::shared_ptr<TDevice> device = NextDevice(positions_[wkPoll], IsLinked);
  if (!device) return;
  TDeviceBusAddress bus(*device);
  transport_.Poll(&bus);
  transport_.SetCurrentDevice(nullptr);
}

void TLowLevelComThread::SendNext() {
  const std::shared_ptr<TDevice> device = NextDevice(positions_[wkSend], HasWire);
  if (!device) return;
  const std::shared_ptr<const TK2Message> packet = device->PeekWire();
  if (!packet) return;
  TDeviceBusAddress bus(*device);
  transport_.SetData(packet->Data);
  // Too large for the room the device announced: it stays first in the
  // queue, and the bus hears no announcement of a frame that cannot follow.
  if (!transport_.DataFits(bus)) return;
  transport_.BeginPacket(&bus, true, bus.TxToggle());
  if (transport_.Send(&bus)) {
    TTrafficCounters::Bump(Line().Counters().PacketsOut);
    device->PopWire(packet);
  }
}

void TLowLevelComThread::RefreshNext() {
  // The first search only moves the position; the second picks the device.
  NextDevice(positions_[wkRefresh], LinkedUnconfirmed);
  const std::shared_ptr<TDevice> device = NextDevice(positions_[wkRefresh], LinkedConfirmed);
  if (!device) return;
  TDeviceBusAddress bus(*device);
  transport_.Connect(&bus);
}

bool TLowLevelComThread::Discover() {
  const bool auto_add = Line().AutoAddDevice;
  std::uint8_t step = dsLink;
  if (auto_add) {
    if (transport_.SearchMode() == 1) {
      step = dsSearch;
    } else if (search_step_ == dsScan) {
      step = dsSearch;
    } else if (search_step_ == dsSearch) {
      step = dsLink;
    } else {
      step = ScanFinished() ? dsSearch : dsScan;
    }
  }
  search_step_ = step;
  switch (step) {
    case dsSearch: SearchStepWork(); break;
    case dsLink: LinkStepWork(); break;
    default: ScanStepWork(); break;
  }
  const int mode = transport_.SearchMode();
  if (mode == transport_.PreviousSearchMode()) return false;
  scheduler_.Reset(mode == 1 ? TStrideScheduler::kSearchWeights : TStrideScheduler::kNormalWeights);
  transport_.SetSearchMode(mode);
  return true;
}

void TLowLevelComThread::SearchStepWork() {
  DeviceId id = NoId;
  transport_.SearchNewDevice(id);
  if (!IdEquals(id, NoId)) TakeFound(id);
}

void TLowLevelComThread::LinkStepWork() {
  const std::shared_ptr<TDevice> device = NextDevice(last_link_device_, ToLink);
  if (!device) return;
  TDeviceBusAddress bus(*device);
  transport_.Connect(&bus);
}

void TLowLevelComThread::ScanStepWork() {
  const TDevices& devices = Line().Session().Devices();
  for (std::uint16_t address = last_scan_address_ + 1; address <= kScanEnd; ++address) {
    if (devices.ShortAddrUsed(Line().ID, static_cast<std::uint8_t>(address))) continue;
    last_scan_address_ = address;
    DeviceId id = NoId;
    transport_.QueryAddress(static_cast<std::uint8_t>(address), id);
    if (!IdEquals(id, NoId)) TakeFound(id);
    return;
  }
  last_scan_address_ = kScanEnd;  // finished for the life of the thread
}

void TLowLevelComThread::TakeFound(const DeviceId& id) {
  const std::shared_ptr<TDevice> device = Line().Session().FindDeviceOnLine(Line().ID, id);
  if (!device) {
    AddFound(id);
    return;
  }
  TDeviceBusAddress bus(*device);
  transport_.Connect(&bus);
}

void TLowLevelComThread::AddFound(const DeviceId& id) {
  TLine& line = Line();
  TKavorSession& session = line.Session();
  const DeviceKey key = session.UseMasterKeys ? session.MasterKeyFor(id) : DefaultKey;
  std::shared_ptr<TDevice> device;
  try {
    // The registry gives it the lowest free short address of the line.
    device = session.Devices().AddSerialDevice(line.ID, id, 0, false, key);
  } catch (const EDeviceRegistryError&) {
    return;  // no address left (or a duplicate): the bus goes on without it
  }
  line.PostDeviceAdded(*device);
  TDeviceBusAddress bus(*device);
  transport_.Connect(&bus);
}

// ---- Receiving ------------------------------------------------------------------

void TLowLevelComThread::HandleReceived() {
  const std::span<const std::uint8_t> packet = transport_.InBuffer().Bytes();
  // Every packet heard on the bus counts for the line, whoever sent it.
  TTrafficCounters::Bump(Line().Counters().PacketsIn);
  const std::optional<TK2Routing> routing = ParseK2Routing(packet);
  if (!routing) return;
  TDevice* device = nullptr;
  std::shared_ptr<TDevice> addressed;
  if (routing->SenderAddress) {
    if (routing->ReceiverAddress && !IdEquals(ReverseId(*routing->ReceiverAddress), Line().OwnId())) return;
    addressed = Line().Session().FindDeviceOnLine(Line().ID, *routing->SenderAddress);
    device = addressed.get();
  } else if (const auto* bus = dynamic_cast<const TDeviceBusAddress*>(transport_.CurrentDevice())) {
    device = &bus->Device();  // the device just polled
  }
  if (!device) return;
  auto message = std::make_shared<TK2Message>();
  message->DataFlag = true;
  message->Data.assign(packet.begin(), packet.end());
  // A full queue drops the packet; the device's engine retransmits.
  device->PushReceived(std::move(message));
}

}  // namespace kavor2::device
