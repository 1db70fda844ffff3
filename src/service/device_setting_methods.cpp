// The settings family of the device methods: (certificate, MAC) reads a
// setting of the caller's device, (certificate, MAC, value) sets it.
#include <cstdint>
#include <limits>
#include <memory>
#include <string>

#include "platform/errors.h"
#include "service/device_methods.h"
#include "subscribers/owned_objects.h"

namespace kavor2::service {
namespace {

constexpr std::size_t kValueParam = 2;
constexpr std::size_t kQueryCount = 2;

// The API gives the command time-out in units of 100 ms; the device keeps
// milliseconds.
constexpr std::int64_t kCommandTimeOutUnitMs = 100;

// What a value the device cannot hold fails with (fault 1001).
constexpr char kRangeErrorText[] = "Range check error";

enum class TKind : std::uint8_t { kBoolean, kInteger, kString };

TKind KindOf(TDeviceSetting setting) {
  switch (setting) {
    case TDeviceSetting::kEnabled:
    case TDeviceSetting::kIsLiveMessage:
    case TDeviceSetting::kGetEvent:
    case TDeviceSetting::kGetCmd:
      return TKind::kBoolean;
    case TDeviceSetting::kMasterKey:
    case TDeviceSetting::kHost:
      return TKind::kString;
    case TDeviceSetting::kLiveMessageTimeOut:
    case TDeviceSetting::kPort:
    case TDeviceSetting::kCommandTimeOut:
    case TDeviceSetting::kConnectTimeOut:
      break;
  }
  return TKind::kInteger;
}

bool HasKind(const xmlrpc::TRpcResult& value, TKind kind) {
  switch (kind) {
    case TKind::kBoolean:
      return value.IsBoolean();
    case TKind::kString:
      return value.IsString();
    case TKind::kInteger:
      break;
  }
  return value.IsInteger();
}

std::int32_t NonNegative(std::int64_t value) {
  if (value < 0 || value > std::numeric_limits<std::int32_t>::max()) throw platform::RangeError(kRangeErrorText);
  return static_cast<std::int32_t>(value);
}

void Read(TDeviceSetting setting, const device::TDevice& d, xmlrpc::TRpcFunction& result) {
  switch (setting) {
    case TDeviceSetting::kEnabled:
      result.AddItem(d.Enabled.load());
      return;
    case TDeviceSetting::kIsLiveMessage:
      result.AddItem(d.IsLiveMessage.load());
      return;
    case TDeviceSetting::kLiveMessageTimeOut:
      result.AddItem(static_cast<double>(d.LiveMessageTimeOut.load()));
      return;
    case TDeviceSetting::kMasterKey:
      result.AddItem(d.MasterKeyText());
      return;
    case TDeviceSetting::kHost:
      result.AddItem(d.Host());
      return;
    case TDeviceSetting::kPort:
      result.AddItem(d.Port.load());
      return;
    case TDeviceSetting::kGetEvent:
      result.AddItem(d.GetEvent());
      return;
    case TDeviceSetting::kGetCmd:
      result.AddItem(d.GetCmd());
      return;
    case TDeviceSetting::kCommandTimeOut:
      result.AddItem(static_cast<double>(d.CommandTimeOut.load()) / kCommandTimeOutUnitMs);
      return;
    case TDeviceSetting::kConnectTimeOut:
      result.AddItem(static_cast<double>(d.ConnectTimeOut.load()));
      return;
  }
}

void Write(TDeviceSetting setting, device::TDevice& d, const xmlrpc::TRpcResult& value) {
  switch (setting) {
    case TDeviceSetting::kEnabled:
      // Disabling goes with releasing the device, not through this setting.
      if (value.AsBoolean()) d.SetEnabled(true);
      return;
    case TDeviceSetting::kIsLiveMessage:
      if (value.AsBoolean()) d.IsLiveMessage = true;
      return;
    case TDeviceSetting::kLiveMessageTimeOut:
      d.LiveMessageTimeOut = NonNegative(value.AsInteger());
      return;
    case TDeviceSetting::kMasterKey:
      // Throws, changing nothing, for more than 32 leading hex digits.
      d.SetMasterKeyText(value.AsString());
      return;
    case TDeviceSetting::kHost:
      d.SetHost(value.AsString());
      return;
    case TDeviceSetting::kPort:
      d.Port = value.AsInteger();
      return;
    case TDeviceSetting::kGetEvent:
      // No cache re-send here: that comes with taking the device.
      d.SetGetEvent(value.AsBoolean());
      return;
    case TDeviceSetting::kGetCmd:
      d.SetGetCmd(value.AsBoolean());
      return;
    case TDeviceSetting::kCommandTimeOut:
      d.CommandTimeOut = NonNegative(static_cast<std::int64_t>(value.AsInteger()) * kCommandTimeOutUnitMs);
      return;
    case TDeviceSetting::kConnectTimeOut:
      d.ConnectTimeOut = NonNegative(value.AsInteger());
      return;
  }
}

}  // namespace

void TDeviceMethods::Setting(TDeviceSetting setting, const xmlrpc::TRpcParams& params,
                             xmlrpc::TRpcFunction& result, const TCaller& caller) {
  const std::shared_ptr<device::TDevice> found = OwnDeviceOf(params, result, caller);
  if (!found) return;
  if (params.size() == kQueryCount) {
    Read(setting, *found, result);
    return;
  }
  const xmlrpc::TRpcResult& value = params.at(kValueParam);
  if (!HasKind(value, KindOf(setting))) {
    SetFault(result, kInvalidType);
    return;
  }
  Write(setting, *found, value);
}

}  // namespace kavor2::service
