#include "service/api_methods.h"

#include <array>
#include <optional>
#include <string>

namespace kavor2::service {
namespace {

using H = TApiHandler;
using C = TCertificateCheck;

constexpr TParamRule kOwn{};  // rows whose handler checks its own parameters
constexpr TParamRule kNoParameters{kAnyCount, kAnyCount, "", C::kNone};

// The two Cyrillic letters in rows 3 and 32 (0xE0, 0xD1) look like Latin
// ones; clients compare the texts byte for byte.
constexpr std::array<TApiMethodRow, 38> kRows{{
    {"Version", "Version : string;", kOwn, H::kVersion},
    {"FileVersion", "FileVersion : string;", kOwn, H::kFileVersion},
    {"AddMessageSubscriber",
     "AddMessageSubscriber(Host : string; Port : Integer ; ClientName , MethodDat\xE0, MethodState : string; ) : "
     "Certificate : GUID;",
     kOwn, H::kAddMessageSubscriber},
    {"DeleteMessageSubscriber", "DeleteMessageSubscriber(Certificate : GUID);", kOwn, H::kDeleteMessageSubscriber},
    {"Ping", "Ping(Certificate : GUID);", kOwn, H::kPing},
    {"ReleaseLinesAndDevices", "ReleaseLinesAndDevices(Certificate : GUID);", kOwn, H::kReleaseLinesAndDevices},
    {"Lines", "Lines();", kNoParameters, H::kLines},
    // Certificate and Type are read without a kind test.
    {"AddLine", "AddLine(Certificate : GUID; Type : string; Port : Integer; Auto : Boolean, ComSpeed : integer = 12);",
     {2, kAnyCount, "", C::kRegistered}, H::kAddLine},
    {"LineLock", "LineLock(Certificate : GUID; ID : Integer; Lock : boolean);", {2, 3, "sib", C::kRegistered},
     H::kLineLock},
    // Lock's kind is tested only when the device is free.
    {"DeviceLock",
     "DeviceLock(Certificate : GUID; MAC : string; Lock : boolean;GetEvent : boolean ; MasterKey : string);",
     {3, kAnyCount, "ss", C::kRegistered}, H::kNotBuilt},
    {"LineType", "LineType(Certificate : GUID; ID : Integer) : string;", {2, 2, "si", C::kRegistered}, H::kLineType},
    {"DeleteLine", "DeleteLine(Certificate : GUID; ID : Integer);", {2, 2, "si", C::kRegistered}, H::kDeleteLine},
    // The value of a setter is tested after the access check.
    {"LinePort", "Line(Certificate : GUID; ID : Integer ;Port : Integer);", {2, 3, "si", C::kRegistered},
     H::kLinePort},
    {"LinePortSpeed", "LineSpeed(Certificate : GUID; ID : Integer ;PortSpeed : Integer);",
     {2, 3, "si", C::kRegistered}, H::kLinePortSpeed},
    {"LineAutoAdd", "LineAutoAdd(Certificate : GUID; ID : Integer);", {2, 3, "si", C::kRegistered}, H::kLineAutoAdd},
    {"Devices", "Devices(Certificate : GUID; LineID : integer)", {2, 2, "si", C::kRegistered}, H::kNotBuilt},
    // The positions after GetCmd depend on the line's type.
    {"AddDevice",
     "AddDevice(Certificate : GUID; LineID : integer; MAC : string; PrimaryID : Boolean; Host : string; Port : "
     "integer; PrimaryIP : Boolean; GetEvent: boolean; [ShortAddr integer; MasterKey : string]);",
     {5, kAnyCount, "sisbb", C::kRegistered}, H::kNotBuilt},
    {"DeleteDevice", "DeleteDevice(Certificate : GUID; MAC : string);", {2, 2, "ss", C::kRegistered}, H::kNotBuilt},
    {"SendData", "SendData(Certificate : GUID; MAC : string; Data : string);", {3, 3, "sss", C::kRegistered},
     H::kNotBuilt},
    {"SendService", "SendService(Certificate : GUID; MAC : string; Data : string);", {4, 4, "sssb", C::kRegistered},
     H::kNotBuilt},
    {"Connected", "Connected(Certificate : GUID; MAC : string);", {2, 2, "ss", C::kRegistered}, H::kNotBuilt},
    {"Enabled", "Enabled(Certificate : GUID; MAC : string);", {2, 3, "ss", C::kRegistered}, H::kNotBuilt},
    {"IsLiveMessage", "IsLiveMessage(Certificate : GUID; MAC : string);", {2, 3, "ss", C::kRegistered},
     H::kNotBuilt},
    {"LiveMessageTimeOut", "LiveMessageTimeOut(Certificate : GUID; MAC : string);", {2, 3, "ss", C::kRegistered},
     H::kNotBuilt},
    {"MAC", "MAC(Certificate : GUID; Host : string; Port : integer) : MAC : string ;", {3, 3, "ssi", C::kRegistered},
     H::kNotBuilt},
    {"MasterKey", "MasterKey(Certificate : GUID; MasterKey : string);", {2, 3, "ss", C::kRegistered}, H::kNotBuilt},
    {"Host", "Host(Certificate : GUID; MAC : string);", {2, 3, "ss", C::kRegistered}, H::kNotBuilt},
    {"Port", "Port(Certificate : GUID; MAC : string);", {2, 3, "ss", C::kRegistered}, H::kNotBuilt},
    {"GetEvent", "GetEvent(Certificate : GUID; MAC : string);", {2, 3, "ss", C::kRegistered}, H::kNotBuilt},
    {"GetCmd", "GetCmd(Certificate : GUID; MAC : string);", {2, 3, "ss", C::kRegistered}, H::kNotBuilt},
    {"CommandTimeOut", "CommandTimeOut(Certificate : GUID; MAC : string, CommandTimeOut : integer) : integer;",
     {2, 3, "ss", C::kRegistered}, H::kNotBuilt},
    {"ConnectTimeOut", "ConnectTimeOut(Certificate : GUID; MAC : string, \xD1onnectTimeOut : integer) : integer;",
     {2, 3, "ss", C::kRegistered}, H::kNotBuilt},
    {"GetSubDevices", "GetSubDevices(Certificate : GUID; MAC : string);", {2, 2, "ss", C::kRegistered},
     H::kNotBuilt},
    {"SubDevices", "SubDevices(Certificate : GUID; MAC : string) : Array [0..n] of  SubDeviceInfo;",
     {2, 2, "ss", C::kRegistered}, H::kNotBuilt},
    {"SubDevice", "SubDevice(Certificate : GUID; MAC : string) : SubDeviceInfo ;", {3, 3, "sss", C::kRegistered},
     H::kNotBuilt},
    {"AddMasterKeyToList", "AddMasterKeyToList(Certificate : GUID; MAC, MasterKey : string);",
     {3, 3, "sss", C::kRegistered}, H::kAddMasterKeyToList},
    {"ClearMasterKeyList", "ClearMasterKeyList(Certificate : GUID);", {1, 1, "s", C::kRegisteredGuidFault},
     H::kClearMasterKeyList},
    {"DeleteMasterKeyToList", "DeleteMasterKeyToList(Certificate : GUID; MAC : string);",
     {2, 2, "ss", C::kRegistered}, H::kDeleteMasterKeyToList},
}};

xmlrpc::TRPCMethod Bind(TSubscriptionMethods& m,
                        void (TSubscriptionMethods::*handler)(const std::string&, xmlrpc::TRpcParams&,
                                                              xmlrpc::TRpcFunction&, xmlrpc::TRpcStruct&)) {
  return [&m, handler](const std::string& name, xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result,
                       xmlrpc::TRpcStruct& caller) { (m.*handler)(name, params, result, caller); };
}

using MasterKeyHandler = void (TMasterKeyMethods::*)(const xmlrpc::TRpcParams&, xmlrpc::TRpcFunction&);

// The row's prologue, then the handler.
xmlrpc::TRPCMethod AfterPrologue(const TParamRule& rule, const subscribers::TSubscribersInfo& registry,
                                 TMasterKeyMethods& m, MasterKeyHandler handler) {
  return [rule, &registry, &m, handler](const std::string&, xmlrpc::TRpcParams& params,
                                        xmlrpc::TRpcFunction& result, xmlrpc::TRpcStruct&) {
    if (RunPrologue(rule, params, result, registry)) (m.*handler)(params, result);
  };
}

using LineHandler = void (TLineMethods::*)(const xmlrpc::TRpcParams&, xmlrpc::TRpcFunction&, const TCaller&);

xmlrpc::TRPCMethod AfterPrologue(const TParamRule& rule, const subscribers::TSubscribersInfo& registry,
                                 TLineMethods& m, LineHandler handler) {
  return [rule, &registry, &m, handler](const std::string&, xmlrpc::TRpcParams& params,
                                        xmlrpc::TRpcFunction& result, xmlrpc::TRpcStruct&) {
    if (const std::optional<TCaller> caller = RunPrologue(rule, params, result, registry)) {
      (m.*handler)(params, result, *caller);
    }
  };
}

// No certificate: the list of lines is anyone's to read.
xmlrpc::TRPCMethod LineList(TLineMethods& m) {
  return [&m](const std::string&, xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result, xmlrpc::TRpcStruct&) {
    m.Lines(params, result);
  };
}

// Refuses rather than answering a success that did nothing.
xmlrpc::TRPCMethod NotBuilt(const TParamRule& rule, const subscribers::TSubscribersInfo& registry) {
  return [rule, &registry](const std::string&, xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result,
                           xmlrpc::TRpcStruct&) {
    if (RunPrologue(rule, params, result, registry)) SetFault(result, kNotImplemented);
  };
}

xmlrpc::TRPCMethod HandlerOf(const TApiMethodRow& row, TSubscriptionMethods& subscription,
                             TMasterKeyMethods& master_keys, const subscribers::TSubscribersInfo& registry,
                             TLineMethods* lines) {
  const TParamRule& rule = row.Prologue;
  switch (row.Handler) {
    case H::kVersion:
      return Bind(subscription, &TSubscriptionMethods::Version);
    case H::kFileVersion:
      return Bind(subscription, &TSubscriptionMethods::FileVersion);
    case H::kAddMessageSubscriber:
      return Bind(subscription, &TSubscriptionMethods::AddMessageSubscriber);
    case H::kDeleteMessageSubscriber:
      return Bind(subscription, &TSubscriptionMethods::DeleteMessageSubscriber);
    case H::kPing:
      return Bind(subscription, &TSubscriptionMethods::Ping);
    case H::kReleaseLinesAndDevices:
      return Bind(subscription, &TSubscriptionMethods::ReleaseLinesAndDevices);
    case H::kAddMasterKeyToList:
      return AfterPrologue(row.Prologue, registry, master_keys, &TMasterKeyMethods::AddMasterKeyToList);
    case H::kClearMasterKeyList:
      return AfterPrologue(row.Prologue, registry, master_keys, &TMasterKeyMethods::ClearMasterKeyList);
    case H::kDeleteMasterKeyToList:
      return AfterPrologue(row.Prologue, registry, master_keys, &TMasterKeyMethods::DeleteMasterKeyToList);
    case H::kLines:
      if (lines) return LineList(*lines);
      break;
    case H::kAddLine:
      if (lines) return AfterPrologue(rule, registry, *lines, &TLineMethods::AddLine);
      break;
    case H::kLineLock:
      if (lines) return AfterPrologue(rule, registry, *lines, &TLineMethods::LineLock);
      break;
    case H::kLineType:
      if (lines) return AfterPrologue(rule, registry, *lines, &TLineMethods::LineType);
      break;
    case H::kDeleteLine:
      if (lines) return AfterPrologue(rule, registry, *lines, &TLineMethods::DeleteLine);
      break;
    case H::kLinePort:
      if (lines) return AfterPrologue(rule, registry, *lines, &TLineMethods::LinePort);
      break;
    case H::kLinePortSpeed:
      if (lines) return AfterPrologue(rule, registry, *lines, &TLineMethods::LinePortSpeed);
      break;
    case H::kLineAutoAdd:
      if (lines) return AfterPrologue(rule, registry, *lines, &TLineMethods::LineAutoAdd);
      break;
    case H::kNotBuilt:
      break;
  }
  return NotBuilt(row.Prologue, registry);
}

}  // namespace

std::span<const TApiMethodRow> ApiMethodRows() { return kRows; }

void RegisterMethods(xmlrpc::TRpcServer& server, TSubscriptionMethods& subscription, TMasterKeyMethods& master_keys,
                     const subscribers::TSubscribersInfo& registry, TLineMethods* lines) {
  for (const TApiMethodRow& row : kRows) {
    server.Methods().Add(std::string(row.MethodName), HandlerOf(row, subscription, master_keys, registry, lines),
                         std::string(row.HelpString));
  }
}

}  // namespace kavor2::service
