#pragma once
// A registered client and the collection of them.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event_loop.h"
#include "platform/guid.h"
#include "xmlrpc/rpc_client.h"

namespace kavor2::subscribers {

// What a subscriber receives beyond its own data (see the delivery rules):
// debug subscribers get every trace and the subscriber notices, command
// subscribers the traces of what they own and the subscriber notices.
enum TSubscriberMode : std::uint8_t { smDebug = 0, smCommand = 1, smNormal = 2 };

inline constexpr std::string_view kDebugModeMarker = " ($DebugMode)";
inline constexpr std::string_view kCommandModeMarker = " ($CommandMode)";
// Every call to a subscriber's callback server must be answered within this.
inline constexpr int kCallbackReadTimeoutMs = 5000;

// The mode a client name asks for; the debug marker wins over the command one.
TSubscriberMode ModeOfClientName(std::string_view client_name);

// The activity clock: steady-clock ticks (the service's CounterFrequency is
// their rate).
std::int64_t CounterNow();

// What happened to the calls made to one subscriber's callback server.
// Relaxed atomics, so a report may read them on any thread.
struct TSubscriberCounters {
  using Counter = std::atomic<std::uint64_t>;
  Counter CallsQueued{0};  // calls handed to the callback client
  Counter CallsSent{0};    // calls its callback server accepted
  Counter CallsFailed{0};  // calls that failed or that it answered with a fault
  Counter CachedRows{0};   // cache rows stored for it so far (not those left now)

  static void Bump(Counter& counter) { counter.fetch_add(1, std::memory_order_relaxed); }
  static std::uint64_t Read(const Counter& counter) { return counter.load(std::memory_order_relaxed); }
};

// One registered client. It has two endpoints: the connection endpoint
// (ConnectionIP, ConnectionPort), the TCP connection over which it
// registered, and the callback endpoint (CallbackHost, CallbackPort), its own
// XML-RPC server, which the callback client calls.
class TSubscriber {
 public:
  // The callback client is made on `loop` (its results come back there) with
  // the callback read time-out; LastActivity starts now.
  explicit TSubscriber(platform::EventLoop& loop);
  // Drops the callback connection, then frees the client (no result of its
  // calls is raised afterwards).
  ~TSubscriber();
  TSubscriber(const TSubscriber&) = delete;
  TSubscriber& operator=(const TSubscriber&) = delete;

  xmlrpc::TRpcClient& CallbackClient() { return *callback_client_; }
  const xmlrpc::TRpcClient& CallbackClient() const { return *callback_client_; }

  const std::string& ClientName() const { return client_name_; }
  // Stores the name as given (markers included) and derives Mode from it.
  void SetClientName(std::string_view name);
  TSubscriberMode Mode() const { return mode_; }

  const std::string& CallbackHost() const { return callback_host_; }
  std::int32_t CallbackPort() const { return callback_port_; }
  // Also the callback client's HostName and HostPort.
  void SetCallback(std::string_view host, std::int32_t port);

  // ClientName + " ( " + callback host + " : " + callback port + ")": names
  // the subscriber in fault texts and notifications.
  std::string DisplayText() const;

  // Steady-clock ticks of the subscriber's creation and of the start of the
  // latest call made through CallbackClient.
  std::int64_t LastActivity = 0;
  std::string MethodData;   // the client's method for device data
  std::string MethodState;  // the client's method for states and notifications
  platform::Guid Certificate;
  std::string ConnectionIP;
  std::int32_t ConnectionPort = 0;
  // Callback connection attempts in the record's lifetime; never reset.
  int ConnectAttempts = 0;
  // Since the record was made; a registration that reuses it keeps them.
  TSubscriberCounters Counters;

 private:
  std::unique_ptr<xmlrpc::TRpcClient> callback_client_;
  std::string client_name_;
  TSubscriberMode mode_ = smNormal;
  std::string callback_host_;
  std::int32_t callback_port_ = 0;
};

class TSubscribersInfo;

// The registered clients in registration order, and the settings every new
// subscriber's callback client receives. Lookups give the first match, or
// nullptr. Only the service thread uses it.
class TSubscribers {
 public:
  explicit TSubscribers(platform::EventLoop& loop) : loop_(loop) {}
  TSubscribers(const TSubscribers&) = delete;
  TSubscribers& operator=(const TSubscribers&) = delete;

  // Installed as every new client's OnSendXML and OnReceiveXML.
  xmlrpc::TRpcXML OnTraffic;
  // Installed as every new client's OnTrace (raised on its worker thread).
  xmlrpc::TRpcTrace OnTrace;
  // Installed as every new client's OnGetASYNCHResultPlus.
  xmlrpc::TASYNCHResultPlus OnCallResult;
  // Installed as every new client's OnError.
  xmlrpc::TOnErrorException OnCallError;
  // Copied into every new client's AESCrypt.
  bool Crypt = false;

  // Appends a new subscriber with its callback client wired: AESCrypt,
  // traffic, trace, result and error events as set above, and OnBeforeExecute
  // stamping the subscriber's LastActivity.
  TSubscriber& AddSubscriber();

  int Count() const { return static_cast<int>(items_.size()); }
  // Throws platform::RangeError for an index outside the collection.
  TSubscriber& Items(int index);
  const TSubscriber& Items(int index) const;

  // Callback host compared exactly (letter case counts).
  TSubscriber* FindByCallback(std::string_view host, std::int32_t port) const;
  TSubscriber* FindByConnection(std::string_view ip, std::int32_t port) const;
  TSubscriber* FindByCertificate(const platform::Guid& certificate) const;
  // The display text of the certificate's subscriber; "" when none has it.
  std::string DisplayTextOf(const platform::Guid& certificate) const;

 private:
  friend class TSubscribersInfo;
  // Frees the subscriber; its ownership entries are the registry's concern.
  void Remove(const TSubscriber& subscriber);

  platform::EventLoop& loop_;
  std::vector<std::unique_ptr<TSubscriber>> items_;
};

}  // namespace kavor2::subscribers
