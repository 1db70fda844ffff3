#include "service/delivery.h"

#include <thread>

#include "device/log_time.h"
#include "platform/guid.h"
#include "service/ownership_checks.h"
#include "xmlrpc/rpc_common.h"

namespace kavor2::service {
namespace {

using subscribers::TSubscriber;

constexpr std::int32_t kServerUnknownMethod = 1000;  // the callback server lacks the method
constexpr std::int32_t kClientInvalidPayload = 601;  // an answer that is not XML-RPC

constexpr std::string_view kCallbackConnectEntry = "Callback connect to subscriber (";
constexpr std::string_view kNotCallbackConnectEntry = "Not callback connect , attempt :";
constexpr std::string_view kErrorSendEntry = "Error send ( ";

xmlrpc::IRpcFunction NewCall(const std::string& method) {
  auto call = std::make_shared<xmlrpc::TRpcFunction>();
  call->SetObjectMethod(method);
  return call;
}

std::int32_t LineIdOf(const device::TStateDeviceMessage& notice) {
  // Subjects of line notices are written by the host itself from an int.
  try {
    return static_cast<std::int32_t>(std::stol(notice.Subject));
  } catch (const std::exception&) {
    return 0;
  }
}

// The state handler's entries for a device going off and on (Windows-1251:
// "Выкл : " and "Вкл  : ").
constexpr std::string_view kDeviceOffEntry = "\xC2\xFB\xEA\xEB : ";
constexpr std::string_view kDeviceOnEntry = "\xC2\xEA\xEB  : ";

// The byte after a frame's length byte; its low six bits tell the frame's kind.
constexpr std::uint8_t kFrameKindMask = 0x3F;
constexpr std::uint8_t kCachedKindA = 5;
constexpr std::uint8_t kCachedKindB = 6;

std::string FlagsText(std::uint8_t flags, bool trailing) {
  std::string text;
  for (int bit = 7; bit >= 0; --bit) {
    if (!(flags & (1u << bit))) continue;
    if (!trailing) text += ' ';
    text += static_cast<char>('0' + bit);
    if (trailing) text += ' ';
  }
  return text;
}

// The device's line ID, ID text, and IP text and port when it has an IP text.
void AddDeviceParams(xmlrpc::TRpcFunction& call, const device::TDevice& d, bool with_address) {
  call.AddItem(static_cast<std::int32_t>(d.LineID));
  call.AddItem(d.IdText());
  if (!with_address) return;
  const std::string host = d.Host();
  if (host.empty()) return;
  call.AddItem(host);
  call.AddItem(static_cast<std::int32_t>(d.Port.load()));
}

bool GetsSubscriberEvents(const TSubscriber& s) {
  return s.Mode() == subscribers::smDebug || s.Mode() == subscribers::smCommand;
}

}  // namespace

std::string BytesToHex(const std::vector<std::uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 0x0F];
  }
  return text;
}

std::string FlagsTextTrailing(std::uint8_t flags) { return FlagsText(flags, true); }
std::string FlagsTextLeading(std::uint8_t flags) { return FlagsText(flags, false); }

bool IsCachedFrame(const std::vector<std::uint8_t>& data) {
  if (data.size() < 2) return false;
  const std::uint8_t kind = data[1] & kFrameKindMask;
  return kind == kCachedKindA || kind == kCachedKindB;
}

std::shared_ptr<device::TDevice> TDelivery::FindDevice(const std::string& id_text) const {
  return session_ ? session_->FindDeviceByIdText(id_text) : nullptr;
}

void TDelivery::Send(TSubscriber& to, xmlrpc::IRpcFunction call) {
  xmlrpc::TRpcResult unused;  // asynchronous: the outcome comes as OnCallResult
  subscribers::TSubscriberCounters::Bump(to.Counters.CallsQueued);
  to.CallbackClient().Execute(std::move(call), true, unused, {}, to.CallbackPort(), to.CallbackHost());
}

void TDelivery::NotifySubscriberEvent(std::int32_t code, const TSubscriber& about) {
  // Copied first: `about` may be one of the recipients.
  const std::string certificate = platform::GuidToText(about.Certificate);
  const std::string display = about.DisplayText();
  subscribers::TSubscribers& all = registry_.Subscribers();
  for (int i = 0; i < all.Count(); ++i) {
    TSubscriber& s = all.Items(i);
    if (!GetsSubscriberEvents(s)) continue;
    auto call = NewCall(s.MethodState);
    call->AddItem(code);
    call->AddItem(certificate);
    call->AddItem(display);
    Send(s, std::move(call));
  }
}

void TDelivery::NotifyLine(std::int32_t code, const device::TStateDeviceMessage& notice) {
  const std::int32_t line_id = LineIdOf(notice);
  subscribers::TSubscribers& all = registry_.Subscribers();
  for (int i = 0; i < all.Count(); ++i) {
    TSubscriber& s = all.Items(i);
    auto call = NewCall(s.MethodState);
    call->AddItem(code);
    call->AddItem(line_id);
    call->AddItem(notice.Owner);
    Send(s, std::move(call));
  }
}

void TDelivery::NotifyDeviceDeleted(const device::TStateDeviceMessage& notice) {
  subscribers::TSubscribers& all = registry_.Subscribers();
  for (int i = 0; i < all.Count(); ++i) {
    TSubscriber& s = all.Items(i);
    auto call = NewCall(s.MethodState);
    call->AddItem(kNotifyDeviceDeleted);
    call->AddItem(notice.Subject);
    call->AddItem(notice.Owner);
    Send(s, std::move(call));
  }
  // Lets the line threads run between device broadcasts.
  std::this_thread::yield();
}

void TDelivery::ConnectCallback(std::unique_ptr<TClientRecInfo> endpoint) {
  TSubscriber* s = registry_.FindByConnection(endpoint->IP, endpoint->Port);
  if (!s || s->CallbackClient().Connected()) return;

  const std::string where = endpoint->IP + " : " + std::to_string(s->CallbackPort());
  log_.Write(std::string(kCallbackConnectEntry) + where + ")");
  try {
    s->CallbackClient().Connect();
  } catch (const std::exception& e) {
    log_.Write(std::string(kNotCallbackConnectEntry) + std::to_string(s->ConnectAttempts) + " ( " + where +
               ") Error : " + e.what());
    s->CallbackClient().Disconnect();
  }
  ++s->ConnectAttempts;

  if (s->CallbackClient().Connected()) {
    NotifySubscriberEvent(kNotifySubscriberConnected, *s);
    return;
  }
  // Through the queue again rather than a loop here, so that the API and
  // the other messages get their turn between the attempts.
  window_.Post(s->ConnectAttempts < kMaxConnectAttempts ? WM_CONNECT_CALLBACK : WM_RELEASE_SUBSCRIBER,
               std::move(endpoint));
}

void TDelivery::OnCallResult(xmlrpc::TRpcClient&, const std::string& guid, const std::string& method_name,
                             const std::string& host_name, const xmlrpc::IRpcResult& result, std::int32_t port) {
  if (!result || !result->IsError()) {
    if (TSubscriber* s = registry_.FindByCallback(host_name, port)) {
      subscribers::TSubscriberCounters::Bump(s->Counters.CallsSent);
    }
    if (OnCallAccepted) OnCallAccepted(guid);
    return;
  }
  TSubscriber* s = registry_.FindByCallback(host_name, port);
  if (!s) return;
  subscribers::TSubscriberCounters::Bump(s->Counters.CallsFailed);
  const std::int32_t code = result->ErrorCode();
  // The callback server answered: it is alive, it just has no Ping.
  if (method_name == kPingMethod && (code == kServerUnknownMethod || code == kClientInvalidPayload)) return;
  log_.Write(std::string(kErrorSendEntry) + host_name + " : " + std::to_string(port) + " ) " + std::to_string(code) +
             " " + result->ErrorMsg() + " MethodName : " + method_name);
  PostRelease(*s);
}

void TDelivery::OnCallError(const std::exception*, const std::string&, const std::string& method_name,
                            const std::string& host_name, std::int32_t host_port, std::int32_t) {
  log_.Write(std::string(kErrorSendEntry) + host_name + " : " + std::to_string(host_port) + " ) " +
             " MethodName : " + method_name);
  if (TSubscriber* s = registry_.FindByCallback(host_name, host_port)) {
    subscribers::TSubscriberCounters::Bump(s->Counters.CallsFailed);
    PostRelease(*s);
  }
}

void TDelivery::SendTrace(TSubscriber& to, std::int32_t kind, const device::TK2Message& record) {
  auto call = NewCall(to.MethodData);
  call->AddItem(record.DeviceText);
  call->AddItem(BytesToHex(record.Data));
  call->AddItem(kind);
  call->AddItem(FlagsTextLeading(record.Flags));
  call->AddItem(static_cast<std::int32_t>(record.PNum));
  call->AddItem(std::to_string(record.KeyCounter));
  call->AddItem(record.TraceText);
  call->AddItem(record.TimeText);
  Send(to, std::move(call));
}

void TDelivery::DeliverToOwner(std::int32_t kind, const device::TK2Message& record, const device::TDevice& device) {
  TSubscriber* owner = DeviceOwner(registry_, device);
  if (!owner) return;
  const std::string hex = BytesToHex(record.Data);
  auto call = NewCall(owner->MethodData);
  call->AddItem(record.DeviceText);
  call->AddItem(hex);
  call->AddItem(kind);
  call->AddItem(FlagsTextTrailing(record.Flags));
  call->AddItem(static_cast<std::int32_t>(record.PNum));
  call->AddItem(std::to_string(record.KeyCounter));
  call->AddItem(record.TraceText);
  call->AddItem(record.TimeText);
  call->AddItem(device::NowText());
  Send(*owner, std::move(call));
  // Keyed by the call just queued: its success removes the row.
  if (cache_ && device.GetEvent() && IsCachedFrame(record.Data)) {
    if (cache_->Insert(owner->CallbackClient().LastGuid(), record.DeviceText, hex)) {
      subscribers::TSubscriberCounters::Bump(owner->Counters.CachedRows);
    }
  }
}

void TDelivery::DeviceData(std::int32_t kind, const device::TK2Message& record) {
  const std::shared_ptr<device::TDevice> device = FindDevice(record.DeviceText);
  const bool for_owner = kind == kKindDataPacket && record.Deliver;
  if (for_owner && device) DeliverToOwner(kind, record, *device);
  // Traces of unknown devices are dropped; the owner's data goes to the
  // debug subscribers whatever became of the device.
  if (for_owner || device) {
    subscribers::TSubscribers& all = registry_.Subscribers();
    for (int i = 0; i < all.Count(); ++i) {
      TSubscriber& s = all.Items(i);
      if (s.Mode() == subscribers::smDebug) SendTrace(s, kind, record);
    }
  }
  if (!for_owner && device) {
    TSubscriber* owner = DeviceOwner(registry_, *device);
    if (owner && owner->Mode() == subscribers::smCommand) SendTrace(*owner, kind, record);
  }
  // Lets the line threads run between deliveries.
  std::this_thread::yield();
}

void TDelivery::DeviceState(std::uint16_t state, const device::TStateDeviceMessage* record) {
  const std::int32_t code = state;
  std::shared_ptr<device::TDevice> device;
  if (record) {
    if (record->Kind == device::kStateKindDevice) device = FindDevice(record->Subject);
    if (record->Kind == device::kStateKindSubDevice) device = FindDevice(record->DeviceText);
  }
  if (device && record->Kind == device::kStateKindDevice) {
    if (code == kStateDisconnected) log_.Write(std::string(kDeviceOffEntry) + record->Subject);
    if (code == kStateConnected) log_.Write(std::string(kDeviceOnEntry) + record->Subject);
  }

  if (code == kStateDeviceAutoAdded) {
    subscribers::TSubscribers& all = registry_.Subscribers();
    for (int i = 0; i < all.Count(); ++i) {
      TSubscriber& s = all.Items(i);
      auto call = NewCall(s.MethodState);
      call->AddItem(code);
      if (device) {
        AddDeviceParams(*call, *device, true);
      } else {
        call->AddItem("");
        call->AddItem("");
      }
      Send(s, std::move(call));
    }
    std::this_thread::yield();
    return;
  }

  if (!device) return;
  TSubscriber* owner = DeviceOwner(registry_, *device);
  if (!owner) return;
  auto call = NewCall(owner->MethodState);
  call->AddItem(code);
  if (record->Kind == device::kStateKindSubDevice) {
    AddDeviceParams(*call, *device, false);
    call->AddItem(record->Subject);
    call->AddItem(static_cast<std::int32_t>(record->DeviceType));
    call->AddItem(static_cast<std::int32_t>(record->Value));
  } else {
    AddDeviceParams(*call, *device, code == kStateDeviceIdChanged);
  }
  Send(*owner, std::move(call));
}

void TDelivery::NotifyDevice(std::int32_t code, const device::TStateDeviceMessage& notice) {
  const std::shared_ptr<device::TDevice> device = FindDevice(notice.Subject);
  if (!device) return;
  std::string owner_text = notice.Owner;
  if (owner_text.empty() && code != kNotifyDeviceAdded) {
    if (const TSubscriber* owner = DeviceOwner(registry_, *device)) owner_text = owner->DisplayText();
  }
  subscribers::TSubscribers& all = registry_.Subscribers();
  for (int i = 0; i < all.Count(); ++i) {
    TSubscriber& s = all.Items(i);
    auto call = NewCall(s.MethodState);
    call->AddItem(code);
    AddDeviceParams(*call, *device, true);
    call->AddItem(owner_text);
    Send(s, std::move(call));
  }
  std::this_thread::yield();
}

void TDelivery::ResendCache(const device::TStateDeviceMessage& notice) {
  if (!cache_) return;
  const std::shared_ptr<device::TDevice> device = FindDevice(notice.Subject);
  if (!device) return;
  TSubscriber* owner = DeviceOwner(registry_, *device);
  if (!owner) return;
  // Read first, re-keyed afterwards: a re-key moves the row within the
  // index, and a scan still open might meet it again.
  std::vector<TMessageCache::Row> rows;
  if (!cache_->ForEachRow(device->IdText(), [&](const TMessageCache::Row& row) { rows.push_back(row); })) return;
  for (const TMessageCache::Row& row : rows) {
    auto call = NewCall(owner->MethodData);
    call->AddItem(row.IDDevice);
    call->AddItem(row.Data);
    Send(*owner, std::move(call));
    cache_->Rekey(row.IDTransaction, owner->CallbackClient().LastGuid());
  }
}

void TDelivery::PostRelease(const TSubscriber& subscriber) {
  window_.Post(WM_RELEASE_SUBSCRIBER, std::make_unique<TClientRecInfo>(subscriber.ConnectionIP, subscriber.ConnectionPort));
}

}  // namespace kavor2::service
