#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/event_loop.h"
#include "xmlrpc/request_loop.h"
#include "xmlrpc/rpc_parsers.h"
#include "xmlrpc/rpc_types.h"

namespace kavor2::xmlrpc {

class TRpcServer;

// Method handlers and events. Every one runs on the executor thread (the
// thread that runs the server's event loop). The arguments live only for the
// call: the server destroys them once the response text is built.
//   method_name  the name as the client sent it
//   parameters   the call's parameters in order
//   result       an empty function: AddItem the result value, or SetError
//   caller_info  members "IP" (string) and "Port" (integer) of the peer
// A handler that throws is answered with fault 1001 and the error's message.
using TRPCMethod = std::function<void(const std::string& method_name, TRpcParams& parameters,
                                      TRpcFunction& result, TRpcStruct& caller_info)>;
using TRPCMethodBeforeExecute =
    std::function<void(const std::string& method_name, TRpcParams& parameters, TRpcFunction& result,
                       TRpcStruct& caller_info, const std::string& request)>;
using TRPCAsyncMethod = std::function<void(const std::string& async_method_name, TRpcParams& parameters,
                                           TRpcFunction& result, TRpcStruct& caller_info)>;
using TRpcXMLInfo = std::function<void(TRpcServer& sender, const std::string& xml, TRpcStruct& caller_info)>;
// host: the peer's IPv4 address in dotted decimal form.
using TClientProcessing = std::function<void(const std::string& host, std::int32_t port)>;

// A registered method.
struct TXRMethod {
  std::string MethodName;  // the name clients call (letter case ignored)
  std::string Name;        // a component name; not used at run time
  std::string HelpString;  // shown by system.methodHelp
  std::string Signature;   // free text shown by system.methodSignature
  TRPCMethod OnExecute;    // may be unset: the call then only counts as handled
};

// The registered methods, in registration order. References to items stay
// valid until the item is deleted or the collection cleared. Changed only on
// the executor thread (or while the server is inactive).
class TXRMethods {
 public:
  TXRMethod& Add();
  TXRMethod& Add(std::string method_name, TRPCMethod on_execute, std::string help_string = {},
                 std::string signature = {});
  int Count() const { return static_cast<int>(items_.size()); }
  // Throws platform::RangeError("List index out of bounds (i)").
  TXRMethod& Items(int index);
  const TXRMethod& Items(int index) const;
  void Delete(int index);
  void Clear() { items_.clear(); }
  // MethodName, or "MethodName<index>" for an item without one.
  std::string DisplayName(int index) const;

 private:
  std::deque<TXRMethod> items_;
};

// A built-in method (the introspection methods).
struct TRpcMethodHandler {
  std::string Name;
  TRPCMethod Handler;
  std::string Help;
  std::string Signature;
};

// The XML-RPC server over HTTP: accepts TCP connections on ListenPort, reads
// one request at a time per connection (kept alive between requests), checks
// Content-MD5, handles the optional session-key exchange and AES bodies, and
// hands every call to the executor thread, which parses it and runs the
// matching methods. See RunRequestLoop for the wire behaviour.
//
// Threads: the object is made, configured, activated, deactivated and
// destroyed on the executor thread (the thread that runs `loop`), or on any
// one thread while the loop is not running calls of this server. Each
// connection has its own thread; one more thread accepts. Calls are handed
// to the loop synchronously (the connection thread waits); connect and
// disconnect notifications are posted without waiting.
class TRpcServer {
 public:
  explicit TRpcServer(platform::EventLoop& loop);
  // Deactivates; queued notifications of this server are skipped afterwards.
  ~TRpcServer();
  TRpcServer(const TRpcServer&) = delete;
  TRpcServer& operator=(const TRpcServer&) = delete;

  bool EnableIntrospect() const { return enable_introspect_; }
  // Takes effect at the next activation.
  void SetEnableIntrospect(bool on) { enable_introspect_ = on; }

  std::int32_t ListenPort() const { return listen_port_; }
  // While active: deactivates, stores the port, activates again. Port 0
  // binds a free port (see BoundPort).
  void SetListenPort(std::int32_t port);
  // The port actually listened on; 0 while inactive.
  std::uint16_t BoundPort() const;

  bool Active() const { return active_ != nullptr; }
  // true: binds 0.0.0.0:ListenPort and starts accepting; throws EXmlRpcError
  // when the port cannot be bound (the server stays inactive). false: closes
  // the listener and every connection, releases connection threads waiting
  // for the executor, and joins them. Safe on the executor thread.
  void SetActive(bool on);

  bool AESCrypt() const { return aes_crypt_; }
  // Applies to connections accepted afterwards.
  void SetAESCrypt(bool on) { aes_crypt_ = on; }

  // Time-outs for a request that has begun (see RequestTimeouts). Take
  // effect at the next activation.
  const RequestTimeouts& Timeouts() const { return timeouts_; }
  void SetTimeouts(const RequestTimeouts& timeouts) { timeouts_ = timeouts; }

  // TLS is not part of this build: SSLEnable true throws EXmlRpcError and
  // leaves it false. The file properties are kept for a build that has it.
  bool SSLEnable() const { return false; }
  void SetSSLEnable(bool on);
  std::string SSLRootCertFile;
  std::string SSLCertFile;
  std::string SSLKeyFile;
  std::string SSLKeyFilePassword;

  TXRMethods& Methods() { return methods_; }
  const TXRMethods& Methods() const { return methods_; }
  // The built-in methods: the introspection methods after an activation with
  // EnableIntrospect, otherwise none.
  const std::vector<TRpcMethodHandler>& BuiltInMethods() const { return built_in_; }

  // Events; unset ones are skipped.
  TRPCMethodBeforeExecute OnBeforeExecute;
  TRPCMethod OnAfterExecute;
  TRPCAsyncMethod OnAsyncResult;
  TRpcXMLInfo OnReceiveXML;
  TRpcXMLInfo OnSendXML;
  TClientProcessing OnClientConnect;
  TClientProcessing OnClientDisconnect;
  // The request log ("xmlrpcdata.txt"): receives the text of every request
  // before it is parsed. Unset: nothing is logged.
  std::function<void(const std::string& request)> OnLogRequest;

  // The executor: parses one request and runs it; gives back the response
  // document, or an empty text for a request it refuses (one holding a NUL
  // byte). Runs on the executor thread; never throws.
  std::string ExecuteRequest(const std::string& request, const std::string& ip, std::int32_t port);

 private:
  struct Lifetime;
  struct Listening;
  struct Connection;

  void Activate();
  void Deactivate();
  void RegisterIntrospection();
  void AcceptLoop(Listening& listening);
  void ServeConnection(Listening& listening, Connection& connection);
  void PostClientEvent(bool connected, const std::string& host, std::int32_t port);
  std::string Dispatch(const std::string& request, TRpcStruct& caller_info);

  void ListMethods(TRpcFunction& result) const;
  void MethodHelp(TRpcParams& parameters, TRpcFunction& result) const;
  void MethodSignature(TRpcParams& parameters, TRpcFunction& result) const;

  platform::EventLoop& loop_;
  std::shared_ptr<Lifetime> lifetime_;
  bool enable_introspect_ = true;
  std::int32_t listen_port_ = 8080;
  bool aes_crypt_ = false;
  RequestTimeouts timeouts_;
  TXRMethods methods_;
  std::vector<TRpcMethodHandler> built_in_;
  TRpcServerParser parser_;  // executor thread only
  std::unique_ptr<Listening> active_;
};

}  // namespace kavor2::xmlrpc
