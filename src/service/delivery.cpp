#include "service/delivery.h"

#include <thread>

#include "platform/guid.h"
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

bool GetsSubscriberEvents(const TSubscriber& s) {
  return s.Mode() == subscribers::smDebug || s.Mode() == subscribers::smCommand;
}

}  // namespace

void TDelivery::Send(TSubscriber& to, xmlrpc::IRpcFunction call) {
  xmlrpc::TRpcResult unused;  // asynchronous: the outcome comes as OnCallResult
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
    if (OnCallAccepted) OnCallAccepted(guid);
    return;
  }
  TSubscriber* s = registry_.FindByCallback(host_name, port);
  if (!s) return;
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
  if (TSubscriber* s = registry_.FindByCallback(host_name, host_port)) PostRelease(*s);
}

void TDelivery::DeviceData(std::int32_t, const device::TK2Message&) {
  // DELIVERY OF DEVICE DATA: the call of the owner's data method, the
  // traces for debug subscribers and the cache rows join here. Until then
  // the record is dropped; nothing is sent in its place.
}

void TDelivery::DeviceState(std::uint16_t, const device::TStateDeviceMessage*) {
  // DELIVERY OF DEVICE STATES: the state notifications to the subscribers
  // join here. Until then the record is dropped.
}

void TDelivery::PostRelease(const TSubscriber& subscriber) {
  window_.Post(WM_RELEASE_SUBSCRIBER, std::make_unique<TClientRecInfo>(subscriber.ConnectionIP, subscriber.ConnectionPort));
}

}  // namespace kavor2::service
