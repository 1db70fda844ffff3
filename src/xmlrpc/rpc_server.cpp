#include "xmlrpc/rpc_server.h"

#include <atomic>
#include <condition_variable>
#include <list>
#include <thread>

#include "platform/descriptor_limit.h"
#include "platform/errors.h"
#include "platform/guid.h"
#include "platform/small_stack_thread.h"
#include "platform/tcp.h"
#include "xmlrpc/request_loop.h"

namespace kavor2::xmlrpc {
namespace {

// Each connection costs a thread (with a small stack) and a descriptor. Far
// above what the service's clients open, low enough that a flood of idle
// connections cannot exhaust the process's threads.
constexpr std::size_t kMaxConnections = 4096;
// Connections may take at most this share of the descriptor limit; the rest
// stays for the lines' sockets, the subscribers' callback connections, the
// cache and the logs, which a flood of clients must not starve.
constexpr std::uint64_t kConnectionShareOfDescriptors = 2;
// Pause after a failed accept or thread start (no descriptors, threads or
// memory left) before trying again.
constexpr std::chrono::milliseconds kAcceptRetryPause{100};
constexpr std::int32_t kMaxPort = 65535;

std::size_t ConnectionCap(std::uint64_t descriptor_limit) {
  std::uint64_t share = descriptor_limit / kConnectionShareOfDescriptors;
  if (share < 1) share = 1;
  return share < kMaxConnections ? static_cast<std::size_t>(share) : kMaxConnections;
}

}  // namespace

// Tasks queued to the loop hold this instead of the server, so that a task
// that runs after the server was destroyed finds no server and does nothing.
// The mutex is held while a task uses the server; the destructor takes it to
// wait for a running task. Recursive because a task may deactivate the server.
struct TRpcServer::Lifetime {
  std::recursive_mutex mutex;
  TRpcServer* server = nullptr;
};

struct TRpcServer::Connection {
  std::unique_ptr<platform::TcpConnection> socket;
  TClientRec client;
  platform::SmallStackThread thread;
  std::atomic<bool> finished{false};
};

// One activation: the listener, its accepting thread and the connections.
struct TRpcServer::Listening {
  platform::TcpListener listener;
  std::thread accept_thread;
  // Released at deactivation: connection threads waiting for the executor
  // return at once instead of waiting for a loop that may be the very
  // thread that deactivates.
  std::shared_ptr<platform::CallGroup> calls = std::make_shared<platform::CallGroup>();
  bool aes_crypt = false;
  RequestTimeouts timeouts;
  std::size_t max_connections = kMaxConnections;

  std::mutex mutex;
  std::condition_variable stop_wake;
  bool stopping = false;
  std::list<std::unique_ptr<Connection>> connections;
};

// ---------------------------------------------------------------------------
// TXRMethods

TXRMethod& TXRMethods::Add() { return items_.emplace_back(); }

TXRMethod& TXRMethods::Add(std::string method_name, TRPCMethod on_execute, std::string help_string,
                           std::string signature) {
  TXRMethod& m = items_.emplace_back();
  m.MethodName = std::move(method_name);
  m.OnExecute = std::move(on_execute);
  m.HelpString = std::move(help_string);
  m.Signature = std::move(signature);
  return m;
}

TXRMethod& TXRMethods::Items(int index) {
  return const_cast<TXRMethod&>(static_cast<const TXRMethods&>(*this).Items(index));
}

const TXRMethod& TXRMethods::Items(int index) const {
  if (index < 0 || index >= Count()) {
    throw platform::RangeError("List index out of bounds (" + std::to_string(index) + ")");
  }
  return items_[static_cast<std::size_t>(index)];
}

void TXRMethods::Delete(int index) {
  Items(index);  // range check
  items_.erase(items_.begin() + index);
}

std::string TXRMethods::DisplayName(int index) const {
  const TXRMethod& m = Items(index);
  return m.MethodName.empty() ? "MethodName" + std::to_string(index) : m.MethodName;
}

// ---------------------------------------------------------------------------
// TRpcServer: lifecycle

TRpcServer::TRpcServer(platform::EventLoop& loop) : loop_(loop), lifetime_(std::make_shared<Lifetime>()) {
  lifetime_->server = this;
}

TRpcServer::~TRpcServer() {
  Deactivate();
  std::lock_guard<std::recursive_mutex> l(lifetime_->mutex);
  lifetime_->server = nullptr;
}

void TRpcServer::SetListenPort(std::int32_t port) {
  if (port < 0 || port > kMaxPort) throw EXmlRpcError("Invalid port number: " + std::to_string(port));
  if (port == listen_port_) return;
  if (!Active()) {
    listen_port_ = port;
    return;
  }
  Deactivate();
  listen_port_ = port;
  Activate();
}

std::uint16_t TRpcServer::BoundPort() const { return active_ ? active_->listener.Port() : 0; }

void TRpcServer::SetActive(bool on) {
  if (on == Active()) return;
  if (on) {
    Activate();
  } else {
    Deactivate();
  }
}

void TRpcServer::SetSSLEnable(bool on) {
  if (on) throw EXmlRpcError("SSL is not supported by this build of the server");
}

void TRpcServer::Activate() {
  auto listening = std::make_unique<Listening>();
  platform::IoResult r = listening->listener.Open(static_cast<std::uint16_t>(listen_port_));
  if (!r.ok()) {
    throw EXmlRpcError("Could not bind socket on port " + std::to_string(listen_port_) + ": " +
                       platform::Describe(r));
  }
  listening->aes_crypt = aes_crypt_;
  listening->timeouts = timeouts_;
  listening->max_connections = ConnectionCap(platform::DescriptorLimit());
  if (enable_introspect_) {
    RegisterIntrospection();
  } else {
    built_in_.clear();
  }
  Listening& ref = *listening;
  listening->accept_thread = std::thread([this, &ref] { AcceptLoop(ref); });
  active_ = std::move(listening);
}

void TRpcServer::Deactivate() {
  if (!active_) return;
  std::unique_ptr<Listening> listening = std::move(active_);
  listening->listener.Stop();
  {
    std::lock_guard<std::mutex> l(listening->mutex);
    listening->stopping = true;
  }
  listening->stop_wake.notify_all();
  listening->accept_thread.join();
  // No connection is added from here on.
  listening->calls->Cancel();
  for (auto& c : listening->connections) c->socket->Shutdown();
  for (auto& c : listening->connections) c->thread.Join();
}

// ---------------------------------------------------------------------------
// Connections

void TRpcServer::AcceptLoop(Listening& listening) {
  for (;;) {
    std::unique_ptr<platform::TcpConnection> socket;
    platform::IoResult r = listening.listener.Accept(socket);
    if (r.status == platform::IoStatus::kClosed) return;
    std::unique_lock<std::mutex> l(listening.mutex);
    if (!r.ok()) {
      // Out of descriptors or memory: give the process time to recover.
      if (listening.stop_wake.wait_for(l, kAcceptRetryPause, [&] { return listening.stopping; })) return;
      continue;
    }
    if (listening.stopping) return;
    // Threads that are done are joined here, so finished connections do not
    // pile up between deactivations.
    for (auto it = listening.connections.begin(); it != listening.connections.end();) {
      if ((*it)->finished.load()) {
        (*it)->thread.Join();
        it = listening.connections.erase(it);
      } else {
        ++it;
      }
    }
    // Beyond the cap the client is refused at once (it sees the connection
    // closed) instead of waiting unanswered in the backlog.
    if (listening.connections.size() >= listening.max_connections) {
      socket->Shutdown();
      continue;
    }
    auto connection = std::make_unique<Connection>();
    connection->client.SessionKey = platform::NewGuid().bytes;
    connection->client.IP = socket->PeerAddress();
    connection->client.Port = socket->PeerPort();
    connection->socket = std::move(socket);
    Connection& ref = *connection;
    // Queued before the thread exists, so that it always comes before the
    // thread's disconnect notification.
    PostClientEvent(true, ref.client.IP, ref.client.Port);
    if (!ref.thread.Start([this, &listening, &ref] { ServeConnection(listening, ref); })) {
      // No thread to serve it: close this client as if it had left, and give
      // the process time before the next one rather than failing each at
      // full speed.
      ref.socket->Shutdown();
      PostClientEvent(false, ref.client.IP, ref.client.Port);
      if (listening.stop_wake.wait_for(l, kAcceptRetryPause, [&] { return listening.stopping; })) return;
      continue;
    }
    listening.connections.push_back(std::move(connection));
  }
}

void TRpcServer::ServeConnection(Listening& listening, Connection& connection) {
  RequestLoopOptions options;
  options.aes_crypt = listening.aes_crypt;
  options.timeouts = listening.timeouts;
  const std::string ip = connection.client.IP;
  const std::int32_t port = connection.client.Port;
  std::weak_ptr<Lifetime> lifetime = lifetime_;
  std::shared_ptr<platform::CallGroup> calls = listening.calls;
  platform::EventLoop& loop = loop_;

  RequestExecutor execute = [&loop, lifetime, calls, ip, port](const std::string& request) {
    // By value: after a cancelled wait the connection thread moves on while
    // the task may still be running.
    return loop.Call<std::string>(
        [lifetime, request, ip, port]() -> std::string {
          std::shared_ptr<Lifetime> life = lifetime.lock();
          if (!life) return {};
          std::lock_guard<std::recursive_mutex> l(life->mutex);
          if (!life->server) return {};
          return life->server->ExecuteRequest(request, ip, port);
        },
        calls);
  };
  RunRequestLoop(*connection.socket, connection.client, options, execute);
  connection.socket->Shutdown();
  PostClientEvent(false, ip, port);
  connection.finished.store(true);
}

void TRpcServer::PostClientEvent(bool connected, const std::string& host, std::int32_t port) {
  std::weak_ptr<Lifetime> lifetime = lifetime_;
  loop_.Post([lifetime, connected, host, port] {
    std::shared_ptr<Lifetime> life = lifetime.lock();
    if (!life) return;
    std::lock_guard<std::recursive_mutex> l(life->mutex);
    TRpcServer* server = life->server;
    if (!server) return;
    const TClientProcessing& event = connected ? server->OnClientConnect : server->OnClientDisconnect;
    if (event) event(host, port);
  });
}

}  // namespace kavor2::xmlrpc
