#include "service/api_methods.h"

#include <array>
#include <optional>
#include <stdexcept>
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
     {3, kAnyCount, "ss", C::kRegistered}, H::kDeviceLock},
    {"LineType", "LineType(Certificate : GUID; ID : Integer) : string;", {2, 2, "si", C::kRegistered}, H::kLineType},
    {"DeleteLine", "DeleteLine(Certificate : GUID; ID : Integer);", {2, 2, "si", C::kRegistered}, H::kDeleteLine},
    // The value of a setter is tested after the access check.
    {"LinePort", "Line(Certificate : GUID; ID : Integer ;Port : Integer);", {2, 3, "si", C::kRegistered},
     H::kLinePort},
    {"LinePortSpeed", "LineSpeed(Certificate : GUID; ID : Integer ;PortSpeed : Integer);",
     {2, 3, "si", C::kRegistered}, H::kLinePortSpeed},
    {"LineAutoAdd", "LineAutoAdd(Certificate : GUID; ID : Integer);", {2, 3, "si", C::kRegistered}, H::kLineAutoAdd},
    {"Devices", "Devices(Certificate : GUID; LineID : integer)", {2, 2, "si", C::kRegistered}, H::kDevices},
    // The positions after GetCmd depend on the line's type.
    {"AddDevice",
     "AddDevice(Certificate : GUID; LineID : integer; MAC : string; PrimaryID : Boolean; Host : string; Port : "
     "integer; PrimaryIP : Boolean; GetEvent: boolean; [ShortAddr integer; MasterKey : string]);",
     {5, kAnyCount, "sisbb", C::kRegistered}, H::kAddDevice},
    {"DeleteDevice", "DeleteDevice(Certificate : GUID; MAC : string);", {2, 2, "ss", C::kRegistered},
     H::kDeleteDevice},
    {"SendData", "SendData(Certificate : GUID; MAC : string; Data : string);", {3, 3, "sss", C::kRegistered},
     H::kSendData},
    {"SendService", "SendService(Certificate : GUID; MAC : string; Data : string);", {4, 4, "sssb", C::kRegistered},
     H::kSendService},
    {"Connected", "Connected(Certificate : GUID; MAC : string);", {2, 2, "ss", C::kRegistered}, H::kConnected},
    {"Enabled", "Enabled(Certificate : GUID; MAC : string);", {2, 3, "ss", C::kRegistered}, H::kDeviceSetting, TDeviceSetting::kEnabled},
    {"IsLiveMessage", "IsLiveMessage(Certificate : GUID; MAC : string);", {2, 3, "ss", C::kRegistered},
     H::kDeviceSetting, TDeviceSetting::kIsLiveMessage},
    {"LiveMessageTimeOut", "LiveMessageTimeOut(Certificate : GUID; MAC : string);", {2, 3, "ss", C::kRegistered},
     H::kDeviceSetting, TDeviceSetting::kLiveMessageTimeOut},
    {"MAC", "MAC(Certificate : GUID; Host : string; Port : integer) : MAC : string ;", {3, 3, "ssi", C::kRegistered},
     H::kMAC},
    {"MasterKey", "MasterKey(Certificate : GUID; MasterKey : string);", {2, 3, "ss", C::kRegistered}, H::kDeviceSetting, TDeviceSetting::kMasterKey},
    {"Host", "Host(Certificate : GUID; MAC : string);", {2, 3, "ss", C::kRegistered}, H::kDeviceSetting, TDeviceSetting::kHost},
    {"Port", "Port(Certificate : GUID; MAC : string);", {2, 3, "ss", C::kRegistered}, H::kDeviceSetting, TDeviceSetting::kPort},
    {"GetEvent", "GetEvent(Certificate : GUID; MAC : string);", {2, 3, "ss", C::kRegistered}, H::kDeviceSetting, TDeviceSetting::kGetEvent},
    {"GetCmd", "GetCmd(Certificate : GUID; MAC : string);", {2, 3, "ss", C::kRegistered}, H::kDeviceSetting, TDeviceSetting::kGetCmd},
    {"CommandTimeOut", "CommandTimeOut(Certificate : GUID; MAC : string, CommandTimeOut : integer) : integer;",
     {2, 3, "ss", C::kRegistered}, H::kDeviceSetting, TDeviceSetting::kCommandTimeOut},
    {"ConnectTimeOut", "ConnectTimeOut(Certificate : GUID; MAC : string, \xD1onnectTimeOut : integer) : integer;",
     {2, 3, "ss", C::kRegistered}, H::kDeviceSetting, TDeviceSetting::kConnectTimeOut},
    {"GetSubDevices", "GetSubDevices(Certificate : GUID; MAC : string);", {2, 2, "ss", C::kRegistered},
     H::kGetSubDevices},
    {"SubDevices", "SubDevices(Certificate : GUID; MAC : string) : Array [0..n] of  SubDeviceInfo;",
     {2, 2, "ss", C::kRegistered}, H::kSubDevices},
    {"SubDevice", "SubDevice(Certificate : GUID; MAC : string) : SubDeviceInfo ;", {3, 3, "sss", C::kRegistered},
     H::kSubDevice},
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

// A group's handler after the row's prologue.
template <typename Group>
using GroupHandler = void (Group::*)(const xmlrpc::TRpcParams&, xmlrpc::TRpcFunction&, const TCaller&);

template <typename Group>
xmlrpc::TRPCMethod AfterPrologue(const TParamRule& rule, const subscribers::TSubscribersInfo& registry, Group& m,
                                 GroupHandler<Group> handler) {
  return [rule, &registry, &m, handler](const std::string&, xmlrpc::TRpcParams& params,
                                        xmlrpc::TRpcFunction& result, xmlrpc::TRpcStruct&) {
    if (const std::optional<TCaller> caller = RunPrologue(rule, params, result, registry)) {
      (m.*handler)(params, result, *caller);
    }
  };
}

xmlrpc::TRPCMethod SettingAfterPrologue(const TParamRule& rule, const subscribers::TSubscribersInfo& registry,
                                        TDeviceMethods& m, TDeviceSetting setting) {
  return [rule, &registry, &m, setting](const std::string&, xmlrpc::TRpcParams& params,
                                        xmlrpc::TRpcFunction& result, xmlrpc::TRpcStruct&) {
    if (const std::optional<TCaller> caller = RunPrologue(rule, params, result, registry)) {
      m.Setting(setting, params, result, *caller);
    }
  };
}

// No certificate: the list of lines is anyone's to read.
xmlrpc::TRPCMethod LineList(TLineMethods& m) {
  return [&m](const std::string&, xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result, xmlrpc::TRpcStruct&) {
    m.Lines(params, result);
  };
}

xmlrpc::TRPCMethod HandlerOf(const TApiMethodRow& row, TSubscriptionMethods& subscription,
                             TMasterKeyMethods& master_keys, const subscribers::TSubscribersInfo& registry,
                             TLineMethods& lines, TDeviceMethods& devices) {
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
      return AfterPrologue(rule, registry, master_keys, &TMasterKeyMethods::AddMasterKeyToList);
    case H::kClearMasterKeyList:
      return AfterPrologue(rule, registry, master_keys, &TMasterKeyMethods::ClearMasterKeyList);
    case H::kDeleteMasterKeyToList:
      return AfterPrologue(rule, registry, master_keys, &TMasterKeyMethods::DeleteMasterKeyToList);
    case H::kLines:
      return LineList(lines);
    case H::kAddLine:
      return AfterPrologue(rule, registry, lines, &TLineMethods::AddLine);
    case H::kLineLock:
      return AfterPrologue(rule, registry, lines, &TLineMethods::LineLock);
    case H::kLineType:
      return AfterPrologue(rule, registry, lines, &TLineMethods::LineType);
    case H::kDeleteLine:
      return AfterPrologue(rule, registry, lines, &TLineMethods::DeleteLine);
    case H::kLinePort:
      return AfterPrologue(rule, registry, lines, &TLineMethods::LinePort);
    case H::kLinePortSpeed:
      return AfterPrologue(rule, registry, lines, &TLineMethods::LinePortSpeed);
    case H::kLineAutoAdd:
      return AfterPrologue(rule, registry, lines, &TLineMethods::LineAutoAdd);
    case H::kDevices:
      return AfterPrologue(rule, registry, devices, &TDeviceMethods::Devices);
    case H::kAddDevice:
      return AfterPrologue(rule, registry, devices, &TDeviceMethods::AddDevice);
    case H::kDeleteDevice:
      return AfterPrologue(rule, registry, devices, &TDeviceMethods::DeleteDevice);
    case H::kDeviceLock:
      return AfterPrologue(rule, registry, devices, &TDeviceMethods::DeviceLock);
    case H::kSendData:
      return AfterPrologue(rule, registry, devices, &TDeviceMethods::SendData);
    case H::kSendService:
      return AfterPrologue(rule, registry, devices, &TDeviceMethods::SendService);
    case H::kConnected:
      return AfterPrologue(rule, registry, devices, &TDeviceMethods::Connected);
    case H::kDeviceSetting:
      return SettingAfterPrologue(rule, registry, devices, row.Setting);
    case H::kMAC:
      return AfterPrologue(rule, registry, devices, &TDeviceMethods::MAC);
    case H::kGetSubDevices:
      return AfterPrologue(rule, registry, devices, &TDeviceMethods::GetSubDevices);
    case H::kSubDevices:
      return AfterPrologue(rule, registry, devices, &TDeviceMethods::SubDevices);
    case H::kSubDevice:
      return AfterPrologue(rule, registry, devices, &TDeviceMethods::SubDevice);
  }
  throw std::logic_error("API row without a handler: " + std::string(row.MethodName));
}

}  // namespace

std::span<const TApiMethodRow> ApiMethodRows() { return kRows; }

void RegisterMethods(xmlrpc::TRpcServer& server, TSubscriptionMethods& subscription, TMasterKeyMethods& master_keys,
                     const subscribers::TSubscribersInfo& registry, TLineMethods& lines, TDeviceMethods& devices) {
  for (const TApiMethodRow& row : kRows) {
    server.Methods().Add(std::string(row.MethodName), HandlerOf(row, subscription, master_keys, registry, lines, devices),
                         std::string(row.HelpString));
  }
}

}  // namespace kavor2::service
