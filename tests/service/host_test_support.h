#pragma once
// Helpers for the host's handler tests: a recording event log and window,
// an event loop on its own thread, calls made through a server's executor,
// and a callback server that records what the service sends it.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "device/serial_port.h"
#include "device/session_environment.h"
#include "platform/event_log.h"
#include "platform/event_loop.h"
#include "service/host_messages.h"
#include "subscribers/owned_objects.h"
#include "xmlrpc/rpc_server.h"
#include "xmlrpc/rpc_types.h"

namespace kavor2::subscribers {
class TSubscriber;
class TSubscribersInfo;
}  // namespace kavor2::subscribers

namespace kavor2::service {
class TDelivery;
}  // namespace kavor2::service

namespace kavor2::service::testing {

using namespace std::chrono_literals;

// Any wait of a test longer than this counts as a failure. Generous: the
// sanitizer builds are slow, and some waits include a 5 s read time-out.
inline constexpr std::chrono::milliseconds kDeadline{20000};

class RecordingLog : public platform::EventLog {
 public:
  void Write(std::string_view text) noexcept override;
  std::vector<std::string> Entries() const;
  // True once an entry starting with `prefix` has been written.
  bool WaitFor(const std::string& prefix, std::chrono::milliseconds timeout = kDeadline) const;
  int CountStartingWith(const std::string& prefix) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> entries_;
};

struct PostedMessage {
  std::uint32_t msg = 0;
  std::string ip;  // TClientRecInfo records
  std::int32_t port = 0;
  std::string subject;  // TStateRecord records
  std::string owner;
};

// Keeps what was posted, dispatching nothing.
class RecordingPoster : public IHostPoster, public subscribers::INoticeWindow {
 public:
  bool Post(std::uint32_t msg, std::unique_ptr<HostRecord> record = nullptr) override;
  void PostLineUnlocked(std::unique_ptr<device::TStateDeviceMessage> notice) override;
  void PostDeviceUnlocked(std::unique_ptr<device::TStateDeviceMessage> notice) override;
  std::vector<PostedMessage> posted;
};

// An event loop running on a thread of its own, as the service thread.
class LoopThread {
 public:
  LoopThread();
  ~LoopThread();
  platform::EventLoop& loop() { return loop_; }
  // Runs fn on the loop thread and waits for it.
  void Sync(const std::function<void()>& fn);

 private:
  platform::EventLoop loop_;
  std::thread thread_;
};

// A call parameter.
using Param = std::variant<std::string, std::int32_t, bool>;

// Runs a call through the server's executor as if it came from ip:port and
// gives the parsed answer (a fault is an error result).
xmlrpc::TRpcResult Call(xmlrpc::TRpcServer& server, const std::string& method, const std::vector<Param>& params,
                        const std::string& ip = "127.0.0.1", std::int32_t port = 40000);

// A subscriber's callback server: an XML-RPC server on a free loopback port
// with the methods "Data", "State" and "Ping", recording every call.
class CallbackServer {
 public:
  struct Received {
    std::string method;
    std::vector<std::string> params;  // ints and strings as text
  };

  CallbackServer();
  ~CallbackServer();
  std::int32_t Port() const { return port_; }
  // Waits until `count` calls have arrived; a copy of all of them.
  std::vector<Received> WaitForCalls(std::size_t count, std::chrono::milliseconds timeout = kDeadline);
  std::vector<Received> Calls();

 private:
  LoopThread thread_;
  std::unique_ptr<xmlrpc::TRpcServer> server_;
  std::int32_t port_ = 0;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Received> calls_;
};

// A session environment for handler tests: loopback only and no line
// threads, so lines bind and listen but no ID request ever leaves.
device::TSessionEnvironment QuietLoopback();

// A serial port that takes every write and never answers.
class SilentPort final : public device::ISerialPort {
 public:
  void Apply(const device::TSerialSettings&) override {}
  std::optional<std::size_t> Read(std::span<std::uint8_t>, std::chrono::milliseconds) override { return 0; }
  std::optional<std::size_t> Write(std::span<const std::uint8_t> bytes) override { return bytes.size(); }
  void Purge() override {}
  int LastSystemError() const override { return 0; }
};

// Hands the subscribers' call results and errors to `delivery`, as the
// service wires them. Run on the registry's loop thread.
void RouteCallResults(subscribers::TSubscribersInfo& registry, TDelivery& delivery);

// A subscriber registered over 127.0.0.1:connection_port with its callback
// server at 127.0.0.1:callback_port, methods "Data" and "State" and a new
// certificate. Run on the registry's loop thread.
subscribers::TSubscriber& AddLoopbackSubscriber(subscribers::TSubscribersInfo& registry, const std::string& name,
                                                std::int32_t connection_port, std::int32_t callback_port);

// A loopback port nobody listens on (it was free a moment ago).
std::int32_t DeadPort();

}  // namespace kavor2::service::testing
