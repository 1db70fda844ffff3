#pragma once
// The table of the service's API methods and their registration on the
// XML-RPC server.
#include <span>
#include <string_view>

#include "service/api_prologue.h"
#include "service/device_methods.h"
#include "service/line_methods.h"
#include "service/master_key_methods.h"
#include "service/subscription_methods.h"
#include "subscribers/subscribers_info.h"
#include "xmlrpc/rpc_server.h"

namespace kavor2::service {

// Who answers a row.
enum class TApiHandler {
  kVersion,
  kFileVersion,
  kAddMessageSubscriber,
  kDeleteMessageSubscriber,
  kPing,
  kReleaseLinesAndDevices,
  kAddMasterKeyToList,
  kClearMasterKeyList,
  kDeleteMasterKeyToList,
  kLines,
  kAddLine,
  kLineLock,
  kLineType,
  kDeleteLine,
  kLinePort,
  kLinePortSpeed,
  kLineAutoAdd,
  kDevices,
  kAddDevice,
  kDeleteDevice,
  kDeviceLock,
  kSendData,
  kSendService,
  kConnected,
  kDeviceSetting,  // the row's Setting says which
  kMAC,
  kGetSubDevices,
  kSubDevices,
  kSubDevice,
};

struct TApiMethodRow {
  std::string_view MethodName;
  // Returned by system.methodHelp exactly as stored (Windows-1251); several
  // differ from what the method takes, and clients know them so.
  std::string_view HelpString;
  // The prologue the table runs before the handler. The subscription
  // methods check their own parameters.
  TParamRule Prologue;
  TApiHandler Handler;
  TDeviceSetting Setting = TDeviceSetting::kEnabled;  // kDeviceSetting rows only
};

// The 38 rows in registration order.
std::span<const TApiMethodRow> ApiMethodRows();

// Adds one method per row to the server's Methods, in table order.
// The handler objects and `registry` must outlive the server's use of them.
void RegisterMethods(xmlrpc::TRpcServer& server, TSubscriptionMethods& subscription, TMasterKeyMethods& master_keys,
                     const subscribers::TSubscribersInfo& registry, TLineMethods& lines, TDeviceMethods& devices);

}  // namespace kavor2::service
