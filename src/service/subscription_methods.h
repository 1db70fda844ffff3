#pragma once
// The API methods of subscription management and the version methods.
#include <string>

#include "platform/event_log.h"
#include "service/host_messages.h"
#include "subscribers/subscribers_info.h"
#include "xmlrpc/rpc_types.h"

namespace kavor2::service {

inline constexpr std::string_view kApiVersion = "1.0.2.0";

// Each method has the server's handler signature and runs on the service
// thread: it checks its parameters, answers a value or a fault in `result`,
// and posts what has to happen after the answer to the host window.
class TSubscriptionMethods {
 public:
  TSubscriptionMethods(subscribers::TSubscribersInfo& registry, IHostPoster& window, platform::EventLog& log)
      : registry_(registry), window_(window), log_(log) {}
  TSubscriptionMethods(const TSubscriptionMethods&) = delete;
  TSubscriptionMethods& operator=(const TSubscriptionMethods&) = delete;

  // "1.0.2.0", whatever the parameters.
  void Version(const std::string& method, xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result,
               xmlrpc::TRpcStruct& caller);
  // The build's version as four numbers joined by ".".
  void FileVersion(const std::string& method, xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result,
                   xmlrpc::TRpcStruct& caller);
  // (callback port, ClientName, MethodData, MethodState) -> certificate.
  // Registers the caller with a callback server on the caller's own address;
  // a registration from a known callback endpoint releases what the old
  // registration owned and replaces its certificate. The callback
  // connection follows through WM_CONNECT_CALLBACK.
  void AddMessageSubscriber(const std::string& method, xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result,
                            xmlrpc::TRpcStruct& caller);
  // (certificate): the subscriber is released when WM_RELEASE_SUBSCRIBER is
  // handled. An unknown certificate is no error.
  void DeleteMessageSubscriber(const std::string& method, xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result,
                               xmlrpc::TRpcStruct& caller);
  // (certificate): empty answer for a registered subscriber, fault 10 otherwise.
  void Ping(const std::string& method, xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result,
            xmlrpc::TRpcStruct& caller);
  // (certificate): releases the lines, then the devices, it owns.
  void ReleaseLinesAndDevices(const std::string& method, xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result,
                              xmlrpc::TRpcStruct& caller);

 private:
  subscribers::TSubscribersInfo& registry_;
  IHostPoster& window_;
  platform::EventLog& log_;
};

}  // namespace kavor2::service
