#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/event_loop.h"
#include "xmlrpc/http_exchange.h"
#include "xmlrpc/rpc_client_trace.h"
#include "xmlrpc/rpc_types.h"

namespace kavor2::xmlrpc {

class TRpcClient;

// Events of the callback client. Unset events are skipped.
// Value: the call; PHostName/PHostPort: the overrides given to Execute.
using TOnActionExecute =
    std::function<void(const TRpcFunction& Value, bool ASYNC, const std::string& PHostName, std::int32_t PHostPort)>;
using TRpcXML = std::function<void(TRpcClient& Sender, const std::string& XML)>;
using TASYNCHResult = std::function<void(const std::string& guid, const std::string& MethodName,
                                         const std::string& HostName, const IRpcResult& AResult)>;
using TASYNCHResultPlus =
    std::function<void(TRpcClient& owner, const std::string& guid, const std::string& MethodName,
                       const std::string& HostName, const IRpcResult& AResult, std::int32_t Port)>;
// Error is always null and ErrId always 0: the failure itself travels in the
// error result that follows.
using TOnErrorException =
    std::function<void(const std::exception* Error, const std::string& guid, const std::string& MethodName,
                       const std::string& HostName, std::int32_t HostPort, std::int32_t ErrId)>;

// A queued asynchronous call. A cleared host marks a call of the running
// batch as done.
struct TStructXmlRequest {
  std::string host;
  std::int32_t port = 0;
  std::string end_point;
  std::string xml;
  std::string guid;
  std::string method_name;
};

// XML-RPC calls to another server over HTTP/1.1, in the service's own
// dialect (Content-MD5, optional session-key exchange and AES bodies, one
// kept-alive connection).
//
// Asynchronous calls are queued and sent, strictly in order, by the client's
// own worker thread (started by the first asynchronous call); their outcome
// is posted to `owner_loop` and raised there as events, in the order the
// worker produced them. The owner thread is the thread that runs that loop.
//
// `owner_loop` must outlive the client.
//
// Threads: make, configure, set events, Execute and destroy on the owner
// thread. Connected, Disconnect, the property getters and setters and
// SetReadTimeout are safe from any thread. Nothing the worker does waits for
// the owner thread. A synchronous Execute waits for the exchange the worker
// is running (bounded by the call deadline); Connect waits for it no longer
// than the connect time-out, which bounds the whole of Connect.
class TRpcClient {
 public:
  explicit TRpcClient(platform::EventLoop& owner_loop);
  // Stops the worker: an exchange in progress is cut off, calls not yet sent
  // are dropped, and no event is raised afterwards, also not for results
  // already posted to the owner loop.
  ~TRpcClient();
  TRpcClient(const TRpcClient&) = delete;
  TRpcClient& operator=(const TRpcClient&) = delete;

  std::string HostName() const;
  // A different value while connected closes the connection first.
  void SetHostName(std::string_view host);
  std::int32_t HostPort() const;
  void SetHostPort(std::int32_t port);
  std::string EndPoint() const;
  void SetEndPoint(std::string_view end_point);
  bool AESCrypt() const;
  // Takes effect at the next call; the connection is reopened for it.
  void SetAESCrypt(bool on);

  // TLS is not part of this build: while SSLEnable is true every call fails
  // with an error result saying so. The file names are kept for a build that
  // has it.
  bool SSLEnable() const;
  void SetSSLEnable(bool on);
  std::string SSLRootCertFile() const;
  void SetSSLRootCertFile(std::string_view path);
  std::string SSLCertFile() const;
  void SetSSLCertFile(std::string_view path);
  std::string SSLKeyFile() const;
  void SetSSLKeyFile(std::string_view path);

  // The guid text of the most recently queued asynchronous call.
  std::string LastGuid() const;

  // Bounds every read of a call, the session-key exchange included. A value
  // of 0 or less restores the default of 5000 ms.
  void SetReadTimeout(int milliseconds);
  // Bounds a whole call, however the peer spaces its bytes (default
  // kCallDeadline; 0 or less restores it).
  void SetCallDeadline(std::chrono::milliseconds deadline);

  // Makes the call `Value` (its method name and parameters set); the call
  // object is released. Overrides apply when not empty / not 0.
  // ASYNC true: queued; returns at once, `Result` is left as it is; the
  // outcome comes as OnGetASYNCHResult, OnGetASYNCHResultPlus and, for a
  // transport failure, OnError before them.
  // ASYNC false: made on this thread; `Result` receives the parsed response
  // (error 601 for a transport failure, which also raises OnError); the
  // parser's conversion errors propagate.
  void Execute(IRpcFunction Value, bool ASYNC, TRpcResult& Result, std::string_view PEndPoint = {},
               std::int32_t PHostPort = 0, std::string_view PHostName = {});

  // Opens the connection to HostName:HostPort (a name is resolved first)
  // with a 5000 ms connect time-out, then runs the session-key exchange when
  // AESCrypt. Nothing happens when already connected or when host or port is
  // not set. Throws ERpcTransportError.
  void Connect();
  void Disconnect();
  bool Connected() const;

  TOnActionExecute OnBeforeExecute;
  TRpcXML OnSendXML;
  TRpcXML OnReceiveXML;
  TASYNCHResult OnGetASYNCHResult;
  TASYNCHResultPlus OnGetASYNCHResultPlus;
  TOnErrorException OnError;
  // The trace lines of asynchronous calls ("rpc.log", "rpc_err.txt"); raised
  // on the worker thread, so it must be safe to call from there. Set before
  // the first call.
  TRpcTrace OnTrace;

  // Replace how connections are opened and names resolved (tests observe
  // connection attempts this way). Set before the first call.
  void SetConnector(TConnector connector);
  void SetResolver(TResolver resolver);

 private:
  // Tells posted notices whether their client still exists. Recursive, so
  // that an event handler may destroy the client it was raised for.
  struct TNoticeGate {
    std::recursive_mutex mutex;
    bool alive = true;
  };
  struct TResultNotice {
    std::string guid;
    std::string method_name;
    std::string host;
    std::int32_t port = 0;
    std::string response;
    bool failed = false;
    std::int32_t error_code = 0;
    std::string error_message;
  };

  TExchangeSettings Settings() const;
  void StoreTarget(const TExchangeTarget& target);
  void QueueCall(TStructXmlRequest call);
  void WorkerLoop();
  void RunBatch(std::vector<TStructXmlRequest>& batch);
  void FailWithCompanions(std::vector<TStructXmlRequest>& batch, std::size_t failed, std::int32_t code,
                          const std::string& message);
  void Trace(std::string_view logical_name, const std::string& text) const;
  void PostErrorNotice(const TStructXmlRequest& call);
  void PostResultNotice(TResultNotice notice);
  void RaiseError(const std::string& guid, const std::string& method_name, const std::string& host,
                  std::int32_t port);
  void DeliverResult(TResultNotice& notice, const std::shared_ptr<TNoticeGate>& gate);
  void ExecuteSync(const std::string& xml, TRpcResult& Result, std::string_view PEndPoint,
                   std::int32_t PHostPort, std::string_view PHostName);

  platform::EventLoop& owner_loop_;
  std::shared_ptr<TNoticeGate> gate_;

  mutable std::mutex props_mutex_;  // guards the properties below
  std::string host_name_ = "127.0.0.1";
  std::int32_t host_port_ = 8080;
  std::string end_point_ = "/xml-rpc";
  bool aes_crypt_ = false;
  bool ssl_enable_ = false;
  std::string ssl_root_cert_file_;
  std::string ssl_cert_file_;
  std::string ssl_key_file_;
  std::string last_guid_;
  std::chrono::milliseconds read_timeout_;
  std::chrono::milliseconds call_deadline_ = kCallDeadline;

  // Held for one exchange (or Connect) at a time: by the worker per call,
  // by a synchronous Execute, by Connect.
  std::mutex exchange_mutex_;
  std::unique_ptr<THttpExchange> exchange_;
  TConnector connector_;
  TResolver resolver_;

  std::mutex queue_mutex_;  // guards the queue and the worker's state
  std::condition_variable queue_cv_;
  std::deque<TStructXmlRequest> queue_;
  bool busy_ = false;         // the worker runs a batch
  bool sync_active_ = false;  // a synchronous call holds the transport
  std::atomic<bool> stopping_{false};
  std::thread worker_;
};

}  // namespace kavor2::xmlrpc
