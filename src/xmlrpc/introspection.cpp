#include "platform/errors.h"
#include "platform/text.h"
#include "xmlrpc/rpc_server.h"

namespace kavor2::xmlrpc {
namespace {

// The name asked for: the first parameter, trimmed. Without a parameter the
// caller gets the list's index error, as for any missing parameter.
std::string WantedName(TRpcParams& parameters) {
  if (parameters.empty()) throw platform::RangeError("List index out of bounds (0)");
  return std::string(platform::Trim(parameters[0].AsString()));
}

}  // namespace

void TRpcServer::RegisterIntrospection() {
  built_in_.clear();
  built_in_.push_back({"system.listMethods",
                       [this](const std::string&, TRpcParams&, TRpcFunction& result, TRpcStruct&) {
                         ListMethods(result);
                       },
                       "Returns a list  of all methods registered with the server", "array (no params)"});
  built_in_.push_back({"system.methodHelp",
                       [this](const std::string&, TRpcParams& parameters, TRpcFunction& result, TRpcStruct&) {
                         MethodHelp(parameters, result);
                       },
                       "Returns any help text supplied for this method", "string (string method_name)"});
  built_in_.push_back({"system.methodSignature",
                       [this](const std::string&, TRpcParams& parameters, TRpcFunction& result, TRpcStruct&) {
                         MethodSignature(parameters, result);
                       },
                       "Returns a array of know signatures for this method",
                       "array of arrays (string method_name)"});
}

void TRpcServer::ListMethods(TRpcFunction& result) const {
  auto names = std::make_shared<TRpcArray>();
  for (const TRpcMethodHandler& m : built_in_) names->AddItem(m.Name);
  for (int i = 0; i < methods_.Count(); ++i) {
    const std::string& name = methods_.Items(i).MethodName;
    if (!name.empty()) names->AddItem(name);
  }
  result.AddItem(names);
}

void TRpcServer::MethodHelp(TRpcParams& parameters, TRpcFunction& result) const {
  const std::string wanted = WantedName(parameters);
  std::string help = wanted;
  for (const TRpcMethodHandler& m : built_in_) {
    if (m.Name == wanted) help = m.Help;
  }
  for (int i = 0; i < methods_.Count(); ++i) {
    if (methods_.Items(i).MethodName == wanted) help = methods_.Items(i).HelpString;
  }
  result.AddItem(help);
}

void TRpcServer::MethodSignature(TRpcParams& parameters, TRpcFunction& result) const {
  const std::string wanted = WantedName(parameters);
  auto signatures = std::make_shared<TRpcArray>();
  for (const TRpcMethodHandler& m : built_in_) {
    if (m.Name == wanted) signatures->AddItem(m.Signature);
  }
  for (int i = 0; i < methods_.Count(); ++i) {
    if (methods_.Items(i).MethodName == wanted) signatures->AddItem(methods_.Items(i).Signature);
  }
  auto outer = std::make_shared<TRpcArray>();
  outer->AddItem(signatures);
  result.AddItem(outer);
}

}  // namespace kavor2::xmlrpc
