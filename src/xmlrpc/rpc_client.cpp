#include "xmlrpc/rpc_client.h"

#include <utility>

#include "platform/guid.h"
#include "xmlrpc/client_error_codes.h"
#include "xmlrpc/rpc_parsers.h"

namespace kavor2::xmlrpc {
namespace {

constexpr std::chrono::milliseconds kDefaultReadTimeout{5000};
// An idle worker looks at its queue at least this often; new calls wake it
// at once.
constexpr std::chrono::milliseconds kIdlePoll{40};
// How often Connect looks whether the worker has given the transport back.
constexpr std::chrono::milliseconds kTransportPoll{10};
// A subscriber that cannot be reached fails at most this many queued calls
// together with the one that failed; the rest are tried in turn.
constexpr int kMaxCompanionFailures = 2500;

std::string OrDefault(std::string_view value, const std::string& fallback) {
  return value.empty() ? fallback : std::string(value);
}

// The parsed response as the result of a call to `port`.
IRpcResult ParseResponse(const std::string& response, std::int32_t port) {
  TRpcClientParser parser(true);
  parser.Parse(response);
  auto result = std::make_shared<TRpcResult>(std::move(parser.Result()));
  result->SetServerPort(port);
  return result;
}

}  // namespace

TRpcClient::TRpcClient(platform::EventLoop& owner_loop)
    : owner_loop_(owner_loop),
      gate_(std::make_shared<TNoticeGate>()),
      read_timeout_(kDefaultReadTimeout),
      connector_(&platform::TcpConnection::Connect),
      resolver_(&ResolveLastIpv4) {
  exchange_ = std::make_unique<THttpExchange>(
      [this](const std::string& ip, std::uint16_t port, platform::Timeout timeout,
             std::unique_ptr<platform::TcpConnection>& out) { return connector_(ip, port, timeout, out); },
      [this](const std::string& name) { return resolver_(name); });
}

TRpcClient::~TRpcClient() {
  {
    std::lock_guard<std::recursive_mutex> lock(gate_->mutex);
    gate_->alive = false;
  }
  {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    stopping_.store(true);
    queue_.clear();
  }
  queue_cv_.notify_all();
  // Cuts off a read or write in progress; a connect in progress ends by its
  // own time-out.
  exchange_->Abort();
  if (worker_.joinable()) worker_.join();
}

// ---------------------------------------------------------------------------
// Properties

std::string TRpcClient::HostName() const {
  std::lock_guard<std::mutex> lock(props_mutex_);
  return host_name_;
}

void TRpcClient::SetHostName(std::string_view host) {
  bool changed;
  {
    std::lock_guard<std::mutex> lock(props_mutex_);
    changed = host_name_ != host;
    host_name_ = host;
  }
  if (changed) exchange_->Disconnect();
}

std::int32_t TRpcClient::HostPort() const {
  std::lock_guard<std::mutex> lock(props_mutex_);
  return host_port_;
}

void TRpcClient::SetHostPort(std::int32_t port) {
  bool changed;
  {
    std::lock_guard<std::mutex> lock(props_mutex_);
    changed = host_port_ != port;
    host_port_ = port;
  }
  if (changed) exchange_->Disconnect();
}

std::string TRpcClient::EndPoint() const {
  std::lock_guard<std::mutex> lock(props_mutex_);
  return end_point_;
}

void TRpcClient::SetEndPoint(std::string_view end_point) {
  std::lock_guard<std::mutex> lock(props_mutex_);
  end_point_ = end_point;
}

bool TRpcClient::AESCrypt() const {
  std::lock_guard<std::mutex> lock(props_mutex_);
  return aes_crypt_;
}

void TRpcClient::SetAESCrypt(bool on) {
  std::lock_guard<std::mutex> lock(props_mutex_);
  aes_crypt_ = on;
}

bool TRpcClient::SSLEnable() const {
  std::lock_guard<std::mutex> lock(props_mutex_);
  return ssl_enable_;
}

void TRpcClient::SetSSLEnable(bool on) {
  std::lock_guard<std::mutex> lock(props_mutex_);
  ssl_enable_ = on;
}

std::string TRpcClient::SSLRootCertFile() const {
  std::lock_guard<std::mutex> lock(props_mutex_);
  return ssl_root_cert_file_;
}

void TRpcClient::SetSSLRootCertFile(std::string_view path) {
  std::lock_guard<std::mutex> lock(props_mutex_);
  ssl_root_cert_file_ = path;
}

std::string TRpcClient::SSLCertFile() const {
  std::lock_guard<std::mutex> lock(props_mutex_);
  return ssl_cert_file_;
}

void TRpcClient::SetSSLCertFile(std::string_view path) {
  std::lock_guard<std::mutex> lock(props_mutex_);
  ssl_cert_file_ = path;
}

std::string TRpcClient::SSLKeyFile() const {
  std::lock_guard<std::mutex> lock(props_mutex_);
  return ssl_key_file_;
}

void TRpcClient::SetSSLKeyFile(std::string_view path) {
  std::lock_guard<std::mutex> lock(props_mutex_);
  ssl_key_file_ = path;
}

std::string TRpcClient::LastGuid() const {
  std::lock_guard<std::mutex> lock(props_mutex_);
  return last_guid_;
}

void TRpcClient::SetReadTimeout(int milliseconds) {
  std::lock_guard<std::mutex> lock(props_mutex_);
  read_timeout_ = milliseconds > 0 ? std::chrono::milliseconds(milliseconds) : kDefaultReadTimeout;
}

void TRpcClient::SetCallDeadline(std::chrono::milliseconds deadline) {
  std::lock_guard<std::mutex> lock(props_mutex_);
  call_deadline_ = deadline > std::chrono::milliseconds::zero() ? deadline : kCallDeadline;
}

void TRpcClient::SetConnector(TConnector connector) { connector_ = std::move(connector); }

void TRpcClient::SetResolver(TResolver resolver) { resolver_ = std::move(resolver); }

TExchangeSettings TRpcClient::Settings() const {
  std::lock_guard<std::mutex> lock(props_mutex_);
  return TExchangeSettings{aes_crypt_, ssl_enable_, read_timeout_, call_deadline_};
}

// The worker (or a synchronous call) works on the client's own properties,
// so that after a call they show where it went; this must not close the
// connection the exchange is about to reuse.
void TRpcClient::StoreTarget(const TExchangeTarget& target) {
  std::lock_guard<std::mutex> lock(props_mutex_);
  host_name_ = target.host;
  host_port_ = target.port;
  end_point_ = target.end_point;
}

// ---------------------------------------------------------------------------
// Connection

void TRpcClient::Connect() {
  if (exchange_->Connected()) return;
  // The worker holds the transport for a whole call, which a slow peer can
  // stretch to the call deadline. Connect runs on the owner thread, so the
  // wait for the transport counts against the connect time-out.
  const auto deadline = std::chrono::steady_clock::now() + kConnectTimeout;
  // Polled rather than a timed lock, which the thread checker cannot follow.
  std::unique_lock<std::mutex> exchange_lock(exchange_mutex_, std::defer_lock);
  while (!exchange_lock.try_lock()) {
    if (std::chrono::steady_clock::now() >= deadline)
      throw ERpcTransportError(kErrConnectTimeout, "Connect timed out.");
    std::this_thread::sleep_for(kTransportPoll);
  }
  TExchangeSettings settings = Settings();
  if (settings.ssl_enable) throw ERpcTransportError(kErrNoSystemError, "TLS is not available in this build");
  if (exchange_->Connected()) return;
  std::string host = HostName();
  std::int32_t port = HostPort();
  if (host.empty() || port == 0) return;
  if (!exchange_->Resolve(host)) throw ERpcTransportError(kErrSocketClosed, "Host name not resolved: " + host);
  {
    std::lock_guard<std::mutex> lock(props_mutex_);
    host_name_ = host;
  }
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (left <= std::chrono::milliseconds::zero()) throw ERpcTransportError(kErrConnectTimeout, "Connect timed out.");
  exchange_->EnsureConnected(host, port, settings, left);
}

void TRpcClient::Disconnect() { exchange_->Disconnect(); }

bool TRpcClient::Connected() const { return exchange_->Connected(); }

// ---------------------------------------------------------------------------
// Calls

void TRpcClient::Execute(IRpcFunction Value, bool ASYNC, TRpcResult& Result, std::string_view PEndPoint,
                         std::int32_t PHostPort, std::string_view PHostName) {
  if (!Value) throw EXmlRpcError("No call given to TRpcClient.Execute");
  const std::string host_override(PHostName);
  if (OnBeforeExecute) OnBeforeExecute(*Value, ASYNC, host_override, PHostPort);
  std::string xml = Value->GetRequestXML();
  std::string method_name = Value->ObjectMethod();
  Value.reset();
  if (OnSendXML) OnSendXML(*this, xml);

  if (!ASYNC) {
    ExecuteSync(xml, Result, PEndPoint, PHostPort, PHostName);
    return;
  }

  std::string guid = platform::GuidToText(platform::NewGuid());
  TStructXmlRequest call;
  {
    std::lock_guard<std::mutex> lock(props_mutex_);
    last_guid_ = guid;
    call.host = OrDefault(PHostName, host_name_);
    call.port = PHostPort != 0 ? PHostPort : host_port_;
    call.end_point = OrDefault(PEndPoint, end_point_);
  }
  call.xml = std::move(xml);
  call.guid = std::move(guid);
  call.method_name = std::move(method_name);
  QueueCall(std::move(call));
}

void TRpcClient::QueueCall(TStructXmlRequest call) {
  {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    if (stopping_.load()) return;
    queue_.push_back(std::move(call));
    if (!worker_.joinable()) worker_ = std::thread([this] { WorkerLoop(); });
  }
  queue_cv_.notify_all();
}

void TRpcClient::ExecuteSync(const std::string& xml, TRpcResult& Result, std::string_view PEndPoint,
                             std::int32_t PHostPort, std::string_view PHostName) {
  // The transport is the worker's while it runs a batch; take it over only
  // between batches and keep the worker from starting one meanwhile.
  {
    std::unique_lock<std::mutex> lock(queue_mutex_);
    queue_cv_.wait(lock, [&] { return (!busy_ && !sync_active_) || stopping_.load(); });
    sync_active_ = true;
  }
  struct SyncRelease {
    TRpcClient& client;
    ~SyncRelease() {
      {
        std::lock_guard<std::mutex> lock(client.queue_mutex_);
        client.sync_active_ = false;
      }
      client.queue_cv_.notify_all();
    }
  } release{*this};

  std::string response;
  bool failed = false;
  TExchangeTarget target;
  {
    std::lock_guard<std::mutex> exchange_lock(exchange_mutex_);
    if (!PHostName.empty() && PHostPort != 0) {
      std::lock_guard<std::mutex> lock(props_mutex_);
      host_name_ = PHostName;
      host_port_ = PHostPort;
      if (!PEndPoint.empty()) end_point_ = PEndPoint;
    }
    {
      std::lock_guard<std::mutex> lock(props_mutex_);
      target = TExchangeTarget{host_name_, host_port_, end_point_};
    }
    try {
      response = exchange_->Run(target, xml, Settings());
      StoreTarget(target);
    } catch (const std::exception&) {
      response.clear();
      failed = true;
    }
  }
  if (failed && OnError) OnError(nullptr, std::string(), std::string(), target.host, target.port, 0);
  if (OnReceiveXML) OnReceiveXML(*this, response);
  Result = *ParseResponse(response, target.port);
}

// ---------------------------------------------------------------------------
// Worker

void TRpcClient::WorkerLoop() {
  std::vector<TStructXmlRequest> batch;
  std::unique_lock<std::mutex> lock(queue_mutex_);
  while (!stopping_.load()) {
    queue_cv_.wait_for(lock, kIdlePoll,
                       [&] { return stopping_.load() || (!queue_.empty() && !sync_active_); });
    if (stopping_.load()) break;
    if (queue_.empty() || sync_active_) continue;
    batch.assign(std::make_move_iterator(queue_.begin()), std::make_move_iterator(queue_.end()));
    queue_.clear();
    busy_ = true;
    lock.unlock();
    RunBatch(batch);
    batch.clear();
    lock.lock();
    busy_ = false;
    queue_cv_.notify_all();
  }
}

void TRpcClient::Trace(std::string_view logical_name, const std::string& text) const {
  if (OnTrace) OnTrace(logical_name, text);
}

void TRpcClient::RunBatch(std::vector<TStructXmlRequest>& batch) {
  const bool tracing = static_cast<bool>(OnTrace);
  for (std::size_t i = 0; i < batch.size(); ++i) {
    TStructXmlRequest& call = batch[i];
    if (call.host.empty()) continue;
    if (stopping_.load()) return;

    std::lock_guard<std::mutex> exchange_lock(exchange_mutex_);
    std::string call_text;
    if (tracing) {
      call_text = CallTraceText(TraceTimeStamp(), batch.size(), call.host, call.port, call.guid, call.xml.size());
      Trace(kRpcLogName, call_text);
    }
    const auto started = std::chrono::steady_clock::now();
    TExchangeTarget target{call.host, call.port, call.end_point};
    StoreTarget(target);
    std::string response;
    std::int32_t error_code = kErrNoSystemError;
    std::string error_message;
    bool failed = false;
    try {
      response = exchange_->Run(target, call.xml, Settings());
    } catch (const ERpcTransportError& e) {
      failed = true;
      error_code = e.Code();
      error_message = e.what();
    } catch (const std::exception& e) {
      failed = true;
      error_message = e.what();
    }
    if (stopping_.load()) return;
    if (failed) {
      if (tracing) Trace(kRpcLogName, FailureTraceText(error_message));
      FailWithCompanions(batch, i, error_code, error_message);
      continue;
    }
    StoreTarget(target);
    if (tracing) {
      const std::string sent = SentTraceText(call_text);
      Trace(kRpcLogName, sent);
      Trace(kRpcLogName, TookTraceText(sent, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                   std::chrono::steady_clock::now() - started)));
    }
    try {
      TResultNotice notice;
      notice.guid = call.guid;
      notice.method_name = call.method_name;
      notice.host = target.host;
      notice.port = target.port;
      notice.response = std::move(response);
      PostResultNotice(std::move(notice));
      call.host.clear();
    } catch (const std::exception& e) {
      FailWithCompanions(batch, i, kErrHandOff, e.what());
      continue;
    }
    if (tracing) Trace(kRpcLogName, HandedOnTraceText());
  }
}

void TRpcClient::FailWithCompanions(std::vector<TStructXmlRequest>& batch, std::size_t failed,
                                    std::int32_t code, const std::string& message) {
  const bool tracing = static_cast<bool>(OnTrace);
  const std::string host = batch[failed].host;
  const std::int32_t port = batch[failed].port;
  int count = 0;
  for (std::size_t j = failed; j < batch.size(); ++j) {
    TStructXmlRequest& call = batch[j];
    if (j != failed && (call.host.empty() || call.host != host || call.port != port)) continue;
    if (count == kMaxCompanionFailures) {
      if (tracing) Trace(kRpcErrorLogName, CompanionHeaderText(TraceTimeStamp()));
      break;
    }
    ++count;
    call.host.clear();
    if (tracing) {
      Trace(kRpcErrorLogName, CompanionHeaderText(TraceTimeStamp()));
      Trace(kRpcErrorLogName, CompanionErrorText(host, message, port));
      Trace(kRpcErrorLogName, CompanionSizeText(call.xml.size()));
    }
    PostErrorNotice(TStructXmlRequest{host, port, call.end_point, {}, call.guid, call.method_name});
    TResultNotice notice;
    notice.guid = call.guid;
    notice.method_name = call.method_name;
    notice.host = host;
    notice.port = port;
    notice.failed = true;
    notice.error_code = code;
    notice.error_message = message;
    PostResultNotice(std::move(notice));
    if (tracing) {
      Trace(kRpcLogName, HandedOnTraceText());
      Trace(kRpcErrorLogName, CompanionRemovedText());
    }
  }
}

// ---------------------------------------------------------------------------
// Notices on the owner thread

void TRpcClient::PostErrorNotice(const TStructXmlRequest& call) {
  owner_loop_.Post([this, gate = gate_, guid = call.guid, method = call.method_name, host = call.host,
                    port = call.port] {
    std::lock_guard<std::recursive_mutex> lock(gate->mutex);
    if (!gate->alive) return;
    RaiseError(guid, method, host, port);
  });
}

void TRpcClient::RaiseError(const std::string& guid, const std::string& method_name, const std::string& host,
                            std::int32_t port) {
  // A copy: the handler may destroy this client, and with it the member.
  TOnErrorException handler = OnError;
  if (handler) handler(nullptr, guid, method_name, host, port, 0);
}

void TRpcClient::PostResultNotice(TResultNotice notice) {
  owner_loop_.Post([this, gate = gate_, notice = std::move(notice)]() mutable {
    std::lock_guard<std::recursive_mutex> lock(gate->mutex);
    if (!gate->alive) return;
    DeliverResult(notice, gate);
  });
}

void TRpcClient::DeliverResult(TResultNotice& notice, const std::shared_ptr<TNoticeGate>& gate) {
  // Handlers are copied before they run and the gate is checked after each,
  // because a handler may destroy this client.
  try {
    TRpcXML on_receive = OnReceiveXML;
    if (on_receive) on_receive(*this, notice.response);
    if (!gate->alive) return;
    IRpcResult result;
    try {
      result = ParseResponse(notice.response, notice.port);
    } catch (const std::exception&) {
      // An answer that does not parse is no XML-RPC payload either; as an
      // error result it counts as a failed call instead of vanishing.
      result = ParseResponse(std::string(), notice.port);
    }
    if (notice.failed) result->SetError(notice.error_code, notice.error_message);
    TASYNCHResult on_result = OnGetASYNCHResult;
    if (on_result) on_result(notice.guid, notice.method_name, notice.host, result);
    if (!gate->alive) return;
    TASYNCHResultPlus on_result_plus = OnGetASYNCHResultPlus;
    if (on_result_plus) on_result_plus(*this, notice.guid, notice.method_name, notice.host, result, notice.port);
  } catch (...) {
    // A handler's or the parser's error must not reach the owner's loop.
  }
}

}  // namespace kavor2::xmlrpc
