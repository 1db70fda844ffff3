#include "xmlrpc/rpc_server.h"

#include "platform/text.h"

namespace kavor2::xmlrpc {
namespace {

constexpr std::int32_t kFaultNotRegistered = 1000;
constexpr std::int32_t kFaultHandlerError = 1001;
constexpr std::int32_t kFaultAsyncTooFew = 1003;
constexpr std::int32_t kFaultAsyncName = 1004;
constexpr std::string_view kAsyncResult = "AsyncResult";

// Events are notifications: one that fails must not change the answer.
template <typename Event, typename... Args>
void RaiseQuietly(const Event& event, Args&&... args) {
  if (!event) return;
  try {
    event(std::forward<Args>(args)...);
  } catch (...) {
  }
}

}  // namespace

std::string TRpcServer::ExecuteRequest(const std::string& request, const std::string& ip, std::int32_t port) {
  // Such a body cannot be taken as text; the connection answers it itself.
  if (request.find('\0') != std::string::npos) return {};
  try {
    TRpcStruct caller_info;
    caller_info.AddItem("IP", ip);
    caller_info.AddItem("Port", port);
    RaiseQuietly(OnReceiveXML, *this, request, caller_info);
    std::string response = Dispatch(request, caller_info);
    RaiseQuietly(OnSendXML, *this, response, caller_info);
    return response;
  } catch (...) {
    // Only allocation failures get here; the connection then tries again.
    return {};
  }
}

std::string TRpcServer::Dispatch(const std::string& request, TRpcStruct& caller_info) {
  TRpcFunction result;
  RaiseQuietly(OnLogRequest, request);
  try {
    // A request that does not parse (bad numbers, dates, entity limits) is
    // answered like any other failure of the call.
    parser_.Parse(request);
    const std::string method_name = parser_.MethodName();
    TRpcParams parameters = parser_.TakeParams();
    bool handled = false;

    if (method_name == kAsyncResult) {
      handled = true;
      if (parameters.empty()) {
        result.SetError(kFaultAsyncTooFew, "Too few parameters in AsyncResult");
      } else if (!parameters[0].IsString()) {
        result.SetError(kFaultAsyncName, "First parameter should be async method name");
      } else if (OnAsyncResult) {
        OnAsyncResult(parameters[0].AsString(), parameters, result, caller_info);
      }
    }
    if (OnBeforeExecute) OnBeforeExecute(method_name, parameters, result, caller_info, request);

    for (const TRpcMethodHandler& m : built_in_) {
      if (m.Name != method_name) continue;
      m.Handler(m.Name, parameters, result, caller_info);
      if (OnAfterExecute) OnAfterExecute(method_name, parameters, result, caller_info);
      handled = true;
    }

    const std::string wanted = platform::UpperCp1251(method_name);
    for (int i = 0; i < methods_.Count(); ++i) {
      if (platform::UpperCp1251(methods_.Items(i).MethodName) != wanted) continue;
      // A copy: the handler may change the collection it lives in.
      TRPCMethod on_execute = methods_.Items(i).OnExecute;
      if (on_execute) on_execute(method_name, parameters, result, caller_info);
      if (OnAfterExecute) OnAfterExecute(method_name, parameters, result, caller_info);
      handled = true;
    }

    if (!handled) {
      result.SetError(kFaultNotRegistered, "Requested method was not registered on the server: " + method_name);
    }
    return result.GetResponseXML();
  } catch (const std::exception& e) {
    result.SetError(kFaultHandlerError, e.what());
  } catch (...) {
    result.SetError(kFaultHandlerError, "Unknown error");
  }
  return result.GetResponseXML();
}

}  // namespace kavor2::xmlrpc
