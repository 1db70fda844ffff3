#pragma once
// The checks every API handler makes before it acts: parameter count,
// parameter kinds, the caller's certificate and its subscriber. Each stops
// at the first failure and leaves the fault in the result.
#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/guid.h"
#include "service/api_faults.h"
#include "subscribers/subscribers_info.h"
#include "xmlrpc/rpc_types.h"

namespace kavor2::service {

inline constexpr int kAnyCount = -1;

// How a method's parameter 0 is taken.
enum class TCertificateCheck {
  kNone,        // no certificate: nothing after the kinds
  kRegistered,  // a readable, non-null certificate of a registered subscriber
  // The same, but an unreadable one is answered with "Inavlid parameter
  // type Guid" (the master-key list's clear method).
  kRegisteredGuidFault,
};

// What a method's prologue checks.
//   MinCount, MaxCount  the counts it takes (kAnyCount: no bound)
//   Kinds               one letter per position that is tested here:
//                       's' string, 'i' int, 'b' boolean, '-' not tested;
//                       positions beyond the text, or not present, are not tested
struct TParamRule {
  int MinCount = kAnyCount;
  int MaxCount = kAnyCount;
  std::string_view Kinds;
  TCertificateCheck Certificate = TCertificateCheck::kNone;
};

// Sets the fault, discarding any value added before.
void SetFault(xmlrpc::TRpcFunction& result, const TApiFault& fault, std::string_view detail = {});

// The certificate in parameter: its registry text with braces, digits of
// either case. The null GUID for anything unreadable (text that does not
// parse, a value that is not a string).
platform::Guid CertificateOf(const xmlrpc::TRpcResult& parameter);
// The same, but nullopt for unreadable text, so that the null GUID itself
// stays a valid answer (the subscription methods take it this way).
std::optional<platform::Guid> CertificateTextOf(const xmlrpc::TRpcResult& parameter);

// Fault 2 when the count is outside the rule's bounds.
bool CheckCount(const TParamRule& rule, const xmlrpc::TRpcParams& parameters, xmlrpc::TRpcFunction& result);
// Fault 3 for the first present parameter whose kind differs.
bool CheckKinds(std::string_view kinds, const xmlrpc::TRpcParams& parameters, xmlrpc::TRpcFunction& result);

// The caller as the prologue found it. Subscriber is null for rules
// without a certificate.
struct TCaller {
  platform::Guid Certificate;
  subscribers::TSubscriber* Subscriber = nullptr;
};

// Count, kinds, certificate (fault 3, or the Guid variant), subscriber
// (fault 10), in this order. nullopt when refused; the fault is then set.
std::optional<TCaller> RunPrologue(const TParamRule& rule, const xmlrpc::TRpcParams& parameters,
                                   xmlrpc::TRpcFunction& result, const subscribers::TSubscribersInfo& registry);

}  // namespace kavor2::service
