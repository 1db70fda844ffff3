#include "subscribers/subscriber.h"

#include <algorithm>
#include <chrono>

#include "platform/errors.h"

namespace kavor2::subscribers {

TSubscriberMode ModeOfClientName(std::string_view client_name) {
  if (client_name.find(kDebugModeMarker) != std::string_view::npos) return smDebug;
  if (client_name.find(kCommandModeMarker) != std::string_view::npos) return smCommand;
  return smNormal;
}

std::int64_t CounterNow() { return std::chrono::steady_clock::now().time_since_epoch().count(); }

TSubscriber::TSubscriber(platform::EventLoop& loop)
    : LastActivity(CounterNow()), callback_client_(std::make_unique<xmlrpc::TRpcClient>(loop)) {
  callback_client_->SetReadTimeout(kCallbackReadTimeoutMs);
}

TSubscriber::~TSubscriber() { callback_client_->Disconnect(); }

void TSubscriber::SetClientName(std::string_view name) {
  mode_ = ModeOfClientName(name);
  client_name_ = name;
}

void TSubscriber::SetCallback(std::string_view host, std::int32_t port) {
  callback_host_ = host;
  callback_port_ = port;
  callback_client_->SetHostName(host);
  callback_client_->SetHostPort(port);
}

std::string TSubscriber::DisplayText() const {
  return client_name_ + " ( " + callback_host_ + " : " + std::to_string(callback_port_) + ")";
}

TSubscriber& TSubscribers::AddSubscriber() {
  auto subscriber = std::make_unique<TSubscriber>(loop_);
  TSubscriber* self = subscriber.get();
  xmlrpc::TRpcClient& client = subscriber->CallbackClient();
  client.SetAESCrypt(Crypt);
  client.OnSendXML = OnTraffic;
  client.OnReceiveXML = OnTraffic;
  client.OnTrace = OnTrace;
  client.OnGetASYNCHResultPlus = OnCallResult;
  client.OnError = OnCallError;
  // Calls are made on the service thread, like every other use of the
  // subscriber, so the stamp needs no lock.
  client.OnBeforeExecute = [self](const xmlrpc::TRpcFunction&, bool, const std::string&, std::int32_t) {
    self->LastActivity = CounterNow();
  };
  items_.push_back(std::move(subscriber));
  return *self;
}

TSubscriber& TSubscribers::Items(int index) {
  if (index < 0 || index >= Count()) {
    throw platform::RangeError("List index out of bounds (" + std::to_string(index) + ")");
  }
  return *items_[static_cast<std::size_t>(index)];
}

const TSubscriber& TSubscribers::Items(int index) const { return const_cast<TSubscribers*>(this)->Items(index); }

TSubscriber* TSubscribers::FindByCallback(std::string_view host, std::int32_t port) const {
  for (const auto& s : items_) {
    if (s->CallbackHost() == host && s->CallbackPort() == port) return s.get();
  }
  return nullptr;
}

TSubscriber* TSubscribers::FindByConnection(std::string_view ip, std::int32_t port) const {
  for (const auto& s : items_) {
    if (s->ConnectionIP == ip && s->ConnectionPort == port) return s.get();
  }
  return nullptr;
}

TSubscriber* TSubscribers::FindByCertificate(const platform::Guid& certificate) const {
  for (const auto& s : items_) {
    if (s->Certificate == certificate) return s.get();
  }
  return nullptr;
}

std::string TSubscribers::DisplayTextOf(const platform::Guid& certificate) const {
  const TSubscriber* s = FindByCertificate(certificate);
  return s ? s->DisplayText() : std::string();
}

void TSubscribers::Remove(const TSubscriber& subscriber) {
  auto it = std::find_if(items_.begin(), items_.end(), [&](const auto& s) { return s.get() == &subscriber; });
  if (it == items_.end()) return;
  // Out of the list before it goes, so that nothing its destruction does
  // can find it half-destroyed.
  std::unique_ptr<TSubscriber> victim = std::move(*it);
  items_.erase(it);
  victim.reset();
}

}  // namespace kavor2::subscribers
