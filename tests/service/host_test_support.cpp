#include "service/host_test_support.h"

#include "platform/guid.h"
#include "platform/tcp.h"
#include "service/delivery.h"
#include "subscribers/subscribers_info.h"
#include "xmlrpc/rpc_parsers.h"

namespace kavor2::service::testing {

void RecordingLog::Write(std::string_view text) noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.emplace_back(text);
  changed_.notify_all();
}

std::vector<std::string> RecordingLog::Entries() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_;
}

int RecordingLog::CountStartingWith(const std::string& prefix) const {
  std::lock_guard<std::mutex> lock(mutex_);
  int n = 0;
  for (const auto& e : entries_) n += e.starts_with(prefix) ? 1 : 0;
  return n;
}

bool RecordingLog::WaitFor(const std::string& prefix, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    for (const auto& e : entries_) {
      if (e.starts_with(prefix)) return true;
    }
    return false;
  });
}

bool RecordingPoster::Post(std::uint32_t msg, std::unique_ptr<HostRecord> record) {
  PostedMessage m;
  m.msg = msg;
  if (auto* endpoint = dynamic_cast<TClientRecInfo*>(record.get())) {
    m.ip = endpoint->IP;
    m.port = endpoint->Port;
  } else if (auto* state = dynamic_cast<TStateRecord*>(record.get())) {
    m.subject = state->Message.Subject;
    m.owner = state->Message.Owner;
  }
  posted.push_back(m);
  return true;
}

void RecordingPoster::PostLineUnlocked(std::unique_ptr<device::TStateDeviceMessage> notice) {
  Post(WM_LINE_UNLOCKED, std::make_unique<TStateRecord>(std::move(*notice)));
}

void RecordingPoster::PostDeviceUnlocked(std::unique_ptr<device::TStateDeviceMessage> notice) {
  Post(WM_DEVICE_UNLOCKED, std::make_unique<TStateRecord>(std::move(*notice)));
}

LoopThread::LoopThread() : thread_([this] { loop_.Run(); }) {}

LoopThread::~LoopThread() {
  loop_.Stop();
  thread_.join();
}

void LoopThread::Sync(const std::function<void()>& fn) {
  loop_.Call<bool>([&] {
    fn();
    return true;
  });
}

xmlrpc::TRpcResult Call(xmlrpc::TRpcServer& server, const std::string& method, const std::vector<Param>& params,
                        const std::string& ip, std::int32_t port) {
  xmlrpc::TRpcFunction call;
  call.SetObjectMethod(method);
  for (const Param& p : params) {
    std::visit([&](const auto& value) { call.AddItem(value); }, p);
  }
  xmlrpc::TRpcClientParser parser;
  parser.Parse(server.ExecuteRequest(call.GetRequestXML(), ip, port));
  return parser.Result();
}

CallbackServer::CallbackServer() {
  thread_.Sync([this] {
    server_ = std::make_unique<xmlrpc::TRpcServer>(thread_.loop());
    for (const char* name : {"Data", "State", "Ping"}) {
      server_->Methods().Add(name, [this](const std::string& method, xmlrpc::TRpcParams& params,
                                          xmlrpc::TRpcFunction&, xmlrpc::TRpcStruct&) {
        Received r{method, {}};
        for (const auto& p : params) r.params.push_back(p.IsInteger() ? std::to_string(p.AsInteger()) : p.AsString());
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(std::move(r));
        arrived_.notify_all();
      });
    }
    server_->SetListenPort(0);
    server_->SetActive(true);
    port_ = server_->BoundPort();
  });
}

CallbackServer::~CallbackServer() {
  thread_.Sync([this] { server_.reset(); });
}

std::vector<CallbackServer::Received> CallbackServer::WaitForCalls(std::size_t count,
                                                                   std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  arrived_.wait_for(lock, timeout, [&] { return calls_.size() >= count; });
  return calls_;
}

std::vector<CallbackServer::Received> CallbackServer::Calls() {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

device::TSessionEnvironment QuietLoopback() {
  device::TSessionEnvironment environment;
  environment.LocalAddresses = [] { return std::vector<std::string>{"127.0.0.1"}; };
  environment.Threads = {};
  return environment;
}

void RouteCallResults(subscribers::TSubscribersInfo& registry, TDelivery& delivery) {
  registry.Subscribers().OnCallResult = [&delivery](xmlrpc::TRpcClient& c, const std::string& g, const std::string& m,
                                                    const std::string& h, const xmlrpc::IRpcResult& r,
                                                    std::int32_t p) { delivery.OnCallResult(c, g, m, h, r, p); };
  registry.Subscribers().OnCallError = [&delivery](const std::exception* e, const std::string& g,
                                                   const std::string& m, const std::string& h, std::int32_t p,
                                                   std::int32_t id) { delivery.OnCallError(e, g, m, h, p, id); };
}

subscribers::TSubscriber& AddLoopbackSubscriber(subscribers::TSubscribersInfo& registry, const std::string& name,
                                                std::int32_t connection_port, std::int32_t callback_port) {
  subscribers::TSubscriber& s = registry.Subscribers().AddSubscriber();
  s.SetClientName(name);
  s.MethodData = "Data";
  s.MethodState = "State";
  s.Certificate = platform::NewGuid();
  s.ConnectionIP = "127.0.0.1";
  s.ConnectionPort = connection_port;
  s.SetCallback("127.0.0.1", callback_port);
  return s;
}

std::int32_t DeadPort() {
  platform::TcpListener probe;
  if (!probe.Open(0).ok()) return 0;
  return probe.Port();
}

}  // namespace kavor2::service::testing
