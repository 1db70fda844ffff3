#include "device/lines.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include "device/device.h"
#include "device/devices.h"
#include "device/kavor_session.h"
#include "device/own_id.h"

namespace kavor2::device {
namespace {

// Between the disconnect requests of a deleted line's devices, so the line
// threads get a moment to send each.
constexpr std::chrono::milliseconds kDisconnectPause{1};

void StopAndFree(std::unique_ptr<TAbstractThread>& thread) {
  if (!thread) return;
  // A suspended thread never ran: there is nothing to wait for.
  if (!thread->Suspended()) thread->TerminateAndWait();
  thread.reset();
}

}  // namespace

// ---- TLine ------------------------------------------------------------------

TLine::TLine(TKavorSession& session, std::int32_t id, TLineType type, std::unique_ptr<TCommunicationsAbstract> comm)
    : ID(id), LineType(type), session_(session), comm_(std::move(comm)) {}

TLine::~TLine() {
  // Threads first: they use the transport.
  StopAndFree(TopLevelThread);
  StopAndFree(LowLevelThread);
  comm_.reset();
}

TUdpKavor* TLine::UdpComm() const {
  return LineType == ltEthernet ? dynamic_cast<TUdpKavor*>(comm_.get()) : nullptr;
}

TComKavor* TLine::ComComm() const {
  return LineType == ltSerial ? dynamic_cast<TComKavor*>(comm_.get()) : nullptr;
}

DeviceId TLine::OwnId() const {
  std::lock_guard lock(own_id_mutex_);
  return own_id_;
}

// The transport's facts for new devices; a line being deleted has no
// transport any more and answers the defaults.
bool TLine::SenderOnWire() const { return comm_ ? comm_->SenderOnWire() : true; }
bool TLine::ReceiverOnWire() const { return comm_ ? comm_->ReceiverOnWire() : true; }
std::int32_t TLine::KeyExchangeTimeOut() const {
  return comm_ ? comm_->DeviceTimeLimit() : TCommunicationsAbstract::kDeviceTimeLimitS;
}
std::int32_t TLine::AnswerTimeOut() const {
  return comm_ ? comm_->CommandTimeOut() : TCommunicationsAbstract::kDefaultCommandTimeOutMs;
}
std::int32_t TLine::LinkTime() const {
  return comm_ ? comm_->ConnectTimeOut() : TCommunicationsAbstract::kDefaultConnectTimeOutS;
}

std::size_t TLine::CountDevices() const { return session_.Devices().CountOnLine(ID); }

void TLine::PostData(std::int32_t kind, TK2MessagePtr message) {
  if (!message) return;
  message->TimeText = NowText(session_.Environment().Clock.Wall);
  session_.PostData(kind, std::move(message));
}

void TLine::PostDeviceState(std::uint16_t code, const TDevice& device) {
  auto record = std::make_unique<TStateDeviceMessage>();
  record->Kind = kStateKindDevice;
  record->Subject = device.IdText();
  record->Value = static_cast<std::uint8_t>(code);
  session_.PostState(code, std::move(record));
}

void TLine::PostDeviceAdded(const TDevice& device) { PostDeviceState(kStateDeviceAdded, device); }

void TLine::PostDeviceIdChanged(const TDevice& device) { PostDeviceState(kStateIdChanged, device); }

void TLine::InitOwnId() {
  const TSessionEnvironment& environment = session_.Environment();
  const LocalAdapters adapters = environment.Adapters ? environment.Adapters() : LocalAdapters{};
  const int count = LocalAdapterCount(adapters);
  const std::string mac = FirstAdapterMacText(adapters);
  // A GUID stands in when no adapter gives a six-byte address; made only
  // then.
  const bool mac_usable = count > 0 && OwnIdFromMacText(mac).has_value();
  const platform::Guid fallback = mac_usable || !environment.NewGuid ? platform::Guid{} : environment.NewGuid();
  DeviceId id = OwnIdBase(count, mac, fallback);
  if (const TUdpKavor* udp = UdpComm()) id = EthernetOwnId(id, static_cast<std::uint16_t>(udp->GetPort()));
  if (const TComKavor* com = ComComm()) id = SerialOwnId(id, com->ComPortSpeed(), com->ComPort());
  std::lock_guard lock(own_id_mutex_);
  own_id_ = id;
}

// ---- TLines -----------------------------------------------------------------

TLines::TLines(TKavorSession& session, const TSessionEnvironment& environment)
    : session_(session), environment_(environment) {}

TLines::~TLines() { Clear(); }

std::size_t TLines::Count() const {
  std::lock_guard lock(mutex_);
  return lines_.size();
}

std::shared_ptr<TLine> TLines::Items(std::size_t index) const {
  std::lock_guard lock(mutex_);
  return index < lines_.size() ? lines_[index] : nullptr;
}

std::vector<std::shared_ptr<TLine>> TLines::All() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::shared_ptr<TLine> TLines::FindItemID(std::int32_t id) const {
  std::lock_guard lock(mutex_);
  const auto it =
      std::find_if(lines_.begin(), lines_.end(), [id](const std::shared_ptr<TLine>& line) { return line->ID == id; });
  return it == lines_.end() ? nullptr : *it;
}

std::shared_ptr<IDeviceLine> TLines::FindLine(std::int32_t line_id) const { return FindItemID(line_id); }

std::shared_ptr<TLine> TLines::AddLine(TLineType type) {
  std::int32_t id = 0;
  {
    std::lock_guard lock(mutex_);
    id = next_id_;
  }
  std::unique_ptr<TCommunicationsAbstract> comm;
  if (type == ltSerial) {
    comm = std::make_unique<TComKavor>(this, environment_.ComDir, environment_.SerialPorts);
  } else {
    comm = std::make_unique<TUdpKavor>(this, environment_.LocalAddresses);
  }
  auto line = std::make_shared<TLine>(session_, id, type, std::move(comm));
  if (environment_.Threads.LowLevel) line->LowLevelThread = environment_.Threads.LowLevel(*line);
  if (environment_.Threads.TopLevel) line->TopLevelThread = environment_.Threads.TopLevel(*line);

  std::lock_guard lock(mutex_);
  // Taken only now, so that a line that failed to be made used up no ID.
  ++next_id_;
  lines_.push_back(line);
  return line;
}

void TLines::StartLine(TLine& line) {
  // The ID is known before any thread runs: a device enabled before the
  // start is ticked at once, and a packet built before the low-level thread
  // got to its ID would carry a null line address that the device answers.
  line.InitOwnId();
  if (line.LowLevelThread && line.LowLevelThread->Suspended()) line.LowLevelThread->Resume();
  if (line.TopLevelThread && line.TopLevelThread->Suspended()) line.TopLevelThread->Resume();
}

void TLines::Destroy(const std::shared_ptr<TLine>& line) {
  TDevices& devices = session_.Devices();
  for (const std::shared_ptr<TDevice>& device : devices.DevicesOnLine(line->ID)) {
    device->QueueLogicalDisconnect();
    std::this_thread::sleep_for(kDisconnectPause);
  }
  StopAndFree(line->TopLevelThread);
  StopAndFree(line->LowLevelThread);
  // Closes the transport: its receiving thread ends here.
  line->comm_.reset();
  devices.DeleteLineDevices(*line);
}

void TLines::DeleteLine(std::size_t index) {
  const std::shared_ptr<TLine> line = Items(index);
  if (!line) return;
  Destroy(line);
  std::lock_guard lock(mutex_);
  std::erase(lines_, line);
}

void TLines::Clear() {
  while (const std::shared_ptr<TLine> first = Items(0)) DeleteLine(0);
}

bool TLines::IsBroadcastPortUsed(int port) const {
  for (const std::shared_ptr<TLine>& line : All()) {
    const TUdpKavor* udp = line->UdpComm();
    if (udp && udp->BroadcastInterval() != 0 && udp->DevicePort() == port) return true;
  }
  return false;
}

}  // namespace kavor2::device
