#include "service/api_prologue.h"

#include <string>

namespace kavor2::service {
namespace {

constexpr char kKindString = 's';
constexpr char kKindInteger = 'i';
constexpr char kKindBoolean = 'b';

bool HasKind(const xmlrpc::TRpcResult& value, char kind) {
  switch (kind) {
    case kKindString:
      return value.IsString();
    case kKindInteger:
      return value.IsInteger();
    case kKindBoolean:
      return value.IsBoolean();
    default:
      return true;  // not tested here
  }
}

}  // namespace

void SetFault(xmlrpc::TRpcFunction& result, const TApiFault& fault, std::string_view detail) {
  std::string message(fault.Text);
  message += detail;
  result.SetError(fault.Code, message);
}

std::optional<platform::Guid> CertificateTextOf(const xmlrpc::TRpcResult& parameter) {
  if (!parameter.IsString()) return std::nullopt;
  return platform::TextToGuid(parameter.AsString());
}

platform::Guid CertificateOf(const xmlrpc::TRpcResult& parameter) {
  return CertificateTextOf(parameter).value_or(platform::Guid{});
}

bool CheckCount(const TParamRule& rule, const xmlrpc::TRpcParams& parameters, xmlrpc::TRpcFunction& result) {
  const int count = static_cast<int>(parameters.size());
  if ((rule.MinCount != kAnyCount && count < rule.MinCount) ||
      (rule.MaxCount != kAnyCount && count > rule.MaxCount)) {
    SetFault(result, kParametersCount);
    return false;
  }
  return true;
}

bool CheckKinds(std::string_view kinds, const xmlrpc::TRpcParams& parameters, xmlrpc::TRpcFunction& result) {
  for (std::size_t i = 0; i < kinds.size() && i < parameters.size(); ++i) {
    if (!HasKind(parameters[i], kinds[i])) {
      SetFault(result, kInvalidType);
      return false;
    }
  }
  return true;
}

std::optional<TCaller> RunPrologue(const TParamRule& rule, const xmlrpc::TRpcParams& parameters,
                                   xmlrpc::TRpcFunction& result, const subscribers::TSubscribersInfo& registry) {
  if (!CheckCount(rule, parameters, result)) return std::nullopt;
  if (!CheckKinds(rule.Kinds, parameters, result)) return std::nullopt;
  TCaller caller;
  if (rule.Certificate == TCertificateCheck::kNone) return caller;

  if (!parameters.empty()) caller.Certificate = CertificateOf(parameters[0]);
  if (caller.Certificate.IsNull()) {
    SetFault(result, rule.Certificate == TCertificateCheck::kRegisteredGuidFault ? kInvalidTypeGuid : kInvalidType);
    return std::nullopt;
  }
  caller.Subscriber = registry.FindByCertificate(caller.Certificate);
  if (!caller.Subscriber) {
    SetFault(result, kSubscriberNotFound);
    return std::nullopt;
  }
  return caller;
}

}  // namespace kavor2::service
