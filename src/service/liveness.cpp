#include "service/liveness.h"

#include "subscribers/subscriber.h"

namespace kavor2::service {
namespace {

using subscribers::TSubscriber;

constexpr std::string_view kReleaseEntry = "Release subscriber on disconnect (";
constexpr std::string_view kReleaseOnConnectEntry = "Release Subscriber on new client connect ( ";
// The "c" of "connect" is the Cyrillic es (0xF1): the entry is matched as it is.
constexpr std::string_view kClientConnectEntry = "Client \xF1onnect RPC server( ";
constexpr std::string_view kClientDisconnectEntry = "Client disconnect RPC server ( ";
constexpr std::string_view kCheckConnectEntry = "Connect subscriber from check (";
constexpr std::string_view kCheckReleaseEntry = "Connect , not callback , release subscriber ( ";

std::string Endpoint(const std::string& ip, std::int32_t port) { return ip + " : " + std::to_string(port); }

}  // namespace

TClientCheckTread::TClientCheckTread(IHostPoster& window, std::chrono::milliseconds interval)
    : window_(window), interval_(interval) {}

TClientCheckTread::~TClientCheckTread() {
  Terminate();
  if (thread_.joinable()) thread_.join();
}

void TClientCheckTread::Resume() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (thread_.joinable() || terminated_) return;
  thread_ = std::thread([this] { Execute(); });
}

void TClientCheckTread::Terminate() {
  std::lock_guard<std::mutex> lock(mutex_);
  terminated_ = true;
  if (!thread_.joinable()) finished_ = true;
  wake_.notify_all();
}

void TClientCheckTread::Execute() {
  std::unique_lock<std::mutex> lock(mutex_);
  auto mark = std::chrono::steady_clock::now();
  while (!terminated_) {
    if (wake_.wait_until(lock, mark + interval_, [this] { return terminated_; })) break;
    mark = std::chrono::steady_clock::now();
    lock.unlock();
    window_.Post(WM_CHECK_CLIENTS);
    lock.lock();
  }
  finished_ = true;
}

void TLiveness::ReleaseSubscriber(std::unique_ptr<TClientRecInfo> endpoint) {
  log_.Write(std::string(kReleaseEntry) + Endpoint(endpoint->IP, endpoint->Port) + ")");
  if (TSubscriber* s = registry_.FindByConnection(endpoint->IP, endpoint->Port)) {
    delivery_.NotifySubscriberEvent(kNotifySubscriberReleased, *s);
    registry_.DeleteByConnection(endpoint->IP, endpoint->Port);
  }
}

void TLiveness::CheckClients() {
  const std::int64_t now = subscribers::CounterNow();
  const std::int64_t idle_ticks =
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(kIdleBeforePing).count();
  subscribers::TSubscribers& all = registry_.Subscribers();
  for (int i = 0; i < all.Count(); ++i) {
    TSubscriber& s = all.Items(i);
    const std::int64_t idle = now >= s.LastActivity ? now - s.LastActivity : s.LastActivity - now;
    if (idle <= idle_ticks) continue;
    if (s.CallbackClient().Connected()) {
      auto ping = std::make_shared<xmlrpc::TRpcFunction>();
      ping->SetObjectMethod(kPingMethod);
      delivery_.Send(s, std::move(ping));
      continue;
    }
    const std::string where = Endpoint(s.ConnectionIP, s.ConnectionPort);
    log_.Write(std::string(kCheckConnectEntry) + where + ")");
    try {
      s.CallbackClient().Connect();
    } catch (const std::exception&) {
      // The state after the attempt decides.
    }
    if (!s.CallbackClient().Connected()) {
      log_.Write(std::string(kCheckReleaseEntry) + where + ")");
      delivery_.PostRelease(s);
    }
  }
}

void TLiveness::OnClientConnect(const std::string& ip, std::int32_t port) {
  if (registry_.FindByConnection(ip, port)) {
    log_.Write(std::string(kReleaseOnConnectEntry) + Endpoint(ip, port) + " ) ");
    registry_.DeleteByConnection(ip, port);
  }
  log_.Write(std::string(kClientConnectEntry) + Endpoint(ip, port) + " ) ");
}

void TLiveness::OnClientDisconnect(const std::string& ip, std::int32_t port) {
  log_.Write(std::string(kClientDisconnectEntry) + Endpoint(ip, port) + " ) ");
  window_.Post(WM_RELEASE_SUBSCRIBER, std::make_unique<TClientRecInfo>(ip, port));
}

}  // namespace kavor2::service
