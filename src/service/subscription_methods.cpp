#include "service/subscription_methods.h"

#include <optional>

#include "platform/guid.h"
#include "service/api_prologue.h"
#include "version.h"

namespace kavor2::service {
namespace {

constexpr std::int32_t kMaxTcpPort = 65535;

constexpr std::string_view kSubscriberExistsEntry = "Subscriber exists ( ";
constexpr std::string_view kSubscriberExistsTail = " ) , release devices and lines";
constexpr std::string_view kAddSubscriberEntry = "Add subscriber ( Client ID : ";

// The single certificate parameter of the subscription methods: a string
// that must parse (fault 4 otherwise); the null GUID passes.
constexpr TParamRule kCertificateOnly{1, 1, "s", TCertificateCheck::kNone};
// Callback port, ClientName, MethodData, MethodState.
constexpr TParamRule kRegistration{4, 4, "isss", TCertificateCheck::kNone};

std::optional<platform::Guid> TakeCertificate(xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result) {
  if (!CheckCount(kCertificateOnly, params, result) || !CheckKinds(kCertificateOnly.Kinds, params, result)) {
    return std::nullopt;
  }
  std::optional<platform::Guid> certificate = CertificateTextOf(params[0]);
  if (!certificate) SetFault(result, kConvertError);
  return certificate;
}

}  // namespace

void TSubscriptionMethods::Version(const std::string&, xmlrpc::TRpcParams&, xmlrpc::TRpcFunction& result,
                                   xmlrpc::TRpcStruct&) {
  result.AddItem(kApiVersion);
}

void TSubscriptionMethods::FileVersion(const std::string&, xmlrpc::TRpcParams&, xmlrpc::TRpcFunction& result,
                                       xmlrpc::TRpcStruct&) {
  result.AddItem(std::to_string(kVersionMajor) + "." + std::to_string(kVersionMinor) + "." +
                 std::to_string(kVersionPatch) + "." + std::to_string(kVersionTweak));
}

void TSubscriptionMethods::AddMessageSubscriber(const std::string&, xmlrpc::TRpcParams& params,
                                                xmlrpc::TRpcFunction& result, xmlrpc::TRpcStruct& caller) {
  const std::string caller_ip = caller.Keys("IP").AsString();
  const std::int32_t caller_port = caller.Keys("Port").AsInteger();
  if (!CheckCount(kRegistration, params, result) || !CheckKinds(kRegistration.Kinds, params, result)) return;

  const std::int32_t callback_port = params[0].AsInteger();
  if (callback_port < 0 || callback_port > kMaxTcpPort) {
    SetFault(result, kCallbackPortRange, std::to_string(callback_port));
    return;
  }

  // The callback server is always on the caller's own machine.
  subscribers::TSubscriber* s = registry_.FindByCallback(caller_ip, callback_port);
  if (s) {
    log_.Write(std::string(kSubscriberExistsEntry) + caller_ip + " : " + std::to_string(callback_port) +
               std::string(kSubscriberExistsTail));
    registry_.ReleaseDevices(s->Certificate);
    registry_.ReleaseLines(s->Certificate);
  } else {
    s = &registry_.Subscribers().AddSubscriber();
  }
  s->ConnectionIP = caller_ip;
  s->ConnectionPort = caller_port;
  s->SetCallback(caller_ip, callback_port);
  s->SetClientName(params[1].AsString());
  s->MethodData = params[2].AsString();
  s->MethodState = params[3].AsString();
  s->Certificate = platform::NewGuid();

  window_.Post(WM_CONNECT_CALLBACK, std::make_unique<TClientRecInfo>(caller_ip, caller_port));

  const std::string certificate = platform::GuidToText(s->Certificate);
  log_.Write(std::string(kAddSubscriberEntry) + certificate + " " + s->CallbackHost() + " : " +
             std::to_string(s->CallbackPort()) + " ) ");
  result.AddItem(certificate);
}

void TSubscriptionMethods::DeleteMessageSubscriber(const std::string&, xmlrpc::TRpcParams& params,
                                                   xmlrpc::TRpcFunction& result, xmlrpc::TRpcStruct&) {
  std::optional<platform::Guid> certificate = TakeCertificate(params, result);
  if (!certificate) return;
  if (const subscribers::TSubscriber* s = registry_.FindByCertificate(*certificate)) {
    window_.Post(WM_RELEASE_SUBSCRIBER, std::make_unique<TClientRecInfo>(s->ConnectionIP, s->ConnectionPort));
  }
}

void TSubscriptionMethods::Ping(const std::string&, xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result,
                                xmlrpc::TRpcStruct&) {
  std::optional<platform::Guid> certificate = TakeCertificate(params, result);
  if (!certificate) return;
  if (!registry_.FindByCertificate(*certificate)) SetFault(result, kSubscriberNotFound);
}

void TSubscriptionMethods::ReleaseLinesAndDevices(const std::string&, xmlrpc::TRpcParams& params,
                                                  xmlrpc::TRpcFunction& result, xmlrpc::TRpcStruct&) {
  std::optional<platform::Guid> certificate = TakeCertificate(params, result);
  if (!certificate) return;
  registry_.ReleaseLines(*certificate);
  registry_.ReleaseDevices(*certificate);
}

}  // namespace kavor2::service
