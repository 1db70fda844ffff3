#include "service/device_methods.h"

#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/devices.h"
#include "device/fixed_keys.h"
#include "device/id_key_text.h"
#include "service/hex_to_bytes.h"
#include "service/ownership_checks.h"

namespace kavor2::service {
namespace {

constexpr std::size_t kLineIdParam = 1;
constexpr std::size_t kMacParam = 1;

// AddDevice, positions common to both line types.
constexpr std::size_t kAddMac = 2;
constexpr std::size_t kAddGetEvent = 3;
constexpr std::size_t kAddGetCmd = 4;
// Ethernet form.
constexpr std::size_t kEthPrimaryId = 5;
constexpr std::size_t kEthHost = 6;
constexpr std::size_t kEthPort = 7;
constexpr std::size_t kEthPrimaryIp = 8;
constexpr std::size_t kEthPrimaryPort = 9;
constexpr std::size_t kEthMasterKey = 10;
constexpr std::size_t kEthMinCount = 10;
constexpr std::string_view kEthKinds = "-----bsibb";
// Serial form.
constexpr std::size_t kSerShortAddr = 5;
constexpr std::size_t kSerMasterKey = 6;

// DeviceLock.
constexpr std::size_t kLockValue = 2;
constexpr std::size_t kLockGetEvent = 3;
constexpr std::size_t kLockGetCmd = 4;
constexpr std::size_t kLockMasterKey = 5;
constexpr std::size_t kLockQueryCount = 3;  // certificate, MAC, lock: the only form for an owned device
constexpr std::size_t kLockMaxCount = 6;

// SendData, SendService.
constexpr std::size_t kDataParam = 2;
constexpr std::size_t kEncryptedParam = 3;

// MAC.
constexpr std::size_t kHostParam = 1;
constexpr std::size_t kPortParam = 2;

// SubDevice.
constexpr std::size_t kSubDeviceParam = 2;

std::uint8_t WithBit(std::uint8_t profile, std::uint8_t bit, bool on) {
  return static_cast<std::uint8_t>(on ? (profile | bit) : (profile & ~bit));
}

xmlrpc::IRpcStruct SubDeviceStruct(const device::TSubDevice& sub_device) {
  auto item = std::make_shared<xmlrpc::TRpcStruct>();
  item->AddItem("ID", sub_device.ID());
  item->AddItem("DeviceType", static_cast<std::int32_t>(sub_device.DeviceType));
  item->AddItem("State", static_cast<std::int32_t>(sub_device.State));
  item->AddItem("Version", std::string());
  return item;
}

}  // namespace

std::shared_ptr<device::TDevice> TDeviceMethods::DeviceOf(const xmlrpc::TRpcParams& params,
                                                          xmlrpc::TRpcFunction& result) const {
  std::shared_ptr<device::TDevice> found = session_.FindDeviceByIdText(params.at(kMacParam).AsString());
  if (!found) SetFault(result, kDeviceNotFound);
  return found;
}

std::shared_ptr<device::TDevice> TDeviceMethods::OwnDeviceOf(const xmlrpc::TRpcParams& params,
                                                             xmlrpc::TRpcFunction& result,
                                                             const TCaller& caller) const {
  std::shared_ptr<device::TDevice> found = DeviceOf(params, result);
  if (found && !CheckDeviceAccess(result, registry_, caller.Certificate, *found)) return nullptr;
  return found;
}

void TDeviceMethods::PostDeviceNotice(std::uint32_t msg, const device::TDevice& device, const TCaller& caller) {
  device::TStateDeviceMessage notice;
  notice.Kind = device::kStateKindDevice;
  notice.Subject = device.IdText();
  notice.Owner = caller.Subscriber->DisplayText();
  window_.Post(msg, std::make_unique<TStateRecord>(std::move(notice)));
}

// ---- Devices ------------------------------------------------------------------

void TDeviceMethods::Devices(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result, const TCaller&) {
  const std::int32_t id = params.at(kLineIdParam).AsInteger();
  const std::shared_ptr<device::TLine> line = session_.Lines().FindItemID(id);
  if (!line) {
    SetFault(result, kNotLineId, std::to_string(id));
    return;
  }
  const bool ethernet = line->LineType == device::ltEthernet;
  auto array = std::make_shared<xmlrpc::TRpcArray>();
  for (const std::shared_ptr<device::TDevice>& d : session_.Devices().DevicesOnLine(line->ID)) {
    auto item = std::make_shared<xmlrpc::TRpcStruct>();
    item->AddItem("MAC", d->IdText());
    if (ethernet) {
      item->AddItem("Host", d->Host());
      item->AddItem("Port", d->Port.load());
    }
    const subscribers::TSubscriber* owner = DeviceOwner(registry_, *d);
    item->AddItem("Subscriber", owner ? owner->DisplayText() : std::string());
    item->AddItem("Version", std::string());
    array->AddItem(std::move(item));
  }
  result.AddItem(std::move(array));
}

// ---- AddDevice ------------------------------------------------------------------

void TDeviceMethods::AddDevice(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result,
                               const TCaller& caller) {
  const std::int32_t line_id = params.at(kLineIdParam).AsInteger();
  const std::shared_ptr<device::TLine> line = session_.Lines().FindItemID(line_id);
  if (!line) {
    SetFault(result, kNotLineId, std::to_string(line_id));
    return;
  }
  std::shared_ptr<device::TDevice> added;
  device::DeviceKey key = device::DefaultKey;
  const bool made = line->LineType == device::ltSerial ? AddSerialDevice(params, result, added, key)
                                                       : AddEthernetDevice(params, result, added, key);
  if (!made) return;

  const bool get_event = params[kAddGetEvent].AsBoolean();
  std::uint8_t profile = WithBit(added->ProfileByte(), subscribers::kProfileGetEvent, get_event);
  profile = WithBit(profile, subscribers::kProfileGetCmd, params[kAddGetCmd].AsBoolean());
  added->SetProfile(profile);

  registry_.AddDeviceEntry(*added, caller.Certificate);
  PostDeviceNotice(WM_DEVICE_ADDED, *added, caller);
  PostDeviceNotice(WM_DEVICE_LOCKED, *added, caller);
  if (get_event) PostDeviceNotice(WM_RESEND_CACHE, *added, caller);

  // The key was decoded before the device was made; setting it enables the
  // device.
  added->SetMasterKey(key);
  added->SetEnabled(true);
  result.AddItem(added->IdText());
}

bool TDeviceMethods::AddEthernetDevice(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result,
                                       std::shared_ptr<device::TDevice>& added, device::DeviceKey& key) {
  if (params.size() < kEthMinCount) {
    SetFault(result, kParametersCount);
    return false;
  }
  if (!CheckKinds(kEthKinds, params, result)) return false;
  std::string key_text;
  if (params.size() > kEthMasterKey) {
    if (!params[kEthMasterKey].IsString()) {
      SetFault(result, kInvalidType);
      return false;
    }
    key_text = params[kEthMasterKey].AsString();
    if (!key_text.empty() && !device::IsKeyText(key_text)) {
      SetFault(result, kNotValidMasterKey);
      return false;
    }
  }
  const std::string mac = params[kAddMac].AsString();
  if (!mac.empty() && !device::IsIdText(mac)) {
    SetFault(result, kNotValidId);
    return false;
  }
  key = device::TextToKey(key_text);  // validated: cannot throw
  try {
    added = session_.Devices().AddEthernetDevice(
        static_cast<std::int32_t>(params[kLineIdParam].AsInteger()), device::DeviceIdFromText(mac), "", true,
        params[kEthPrimaryIp].AsBoolean(), params[kEthPort].AsInteger(), params[kEthHost].AsString(),
        params[kEthPrimaryId].AsBoolean(), device::DefaultKey);
  } catch (const std::exception& e) {
    SetFault(result, {kFaultNotFound, e.what()});
    return false;
  }
  added->PrimaryPort = params[kEthPrimaryPort].AsBoolean();
  return true;
}

bool TDeviceMethods::AddSerialDevice(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result,
                                     std::shared_ptr<device::TDevice>& added, device::DeviceKey& key) {
  std::int32_t short_addr = 0;
  if (params.size() > kSerShortAddr && params[kSerShortAddr].IsInteger()) {
    short_addr = params[kSerShortAddr].AsInteger();
  }
  std::string key_text = device::KeyToText(device::FactoryKey);
  if (params.size() > kSerMasterKey && params[kSerMasterKey].IsString()) {
    key_text = params[kSerMasterKey].AsString();
  }
  // Neither the ID text nor the key text is validated on this form; both are
  // converted before the device is made, so a text that does not convert
  // fails the call (fault 1001) with nothing made, owned or announced.
  key = device::TextToKey(key_text);
  const device::DeviceId id = device::DeviceIdFromText(params[kAddMac].AsString());
  try {
    added = session_.Devices().AddSerialDevice(params[kLineIdParam].AsInteger(), id, short_addr, true,
                                               device::DefaultKey);
  } catch (const std::exception& e) {
    SetFault(result, {kFaultNotFound, e.what()});
    return false;
  }
  return true;
}

// ---- DeleteDevice, DeviceLock -------------------------------------------------------

void TDeviceMethods::DeleteDevice(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result,
                                  const TCaller& caller) {
  const std::shared_ptr<device::TDevice> found = DeviceOf(params, result);
  if (!found) return;
  const TLockInfo state = DeviceLockState(registry_, caller.Certificate, *found);
  if (state.State == lsOther) {
    SetFault(result, kLockedByOther, DeviceDetail(found->IdText()) + state.Owner);
    return;
  }
  PostDeviceNotice(WM_DEVICE_DELETED, *found, caller);
  // The entry goes before the device does; removing it releases the device,
  // which sends a connected one its logical disconnect.
  registry_.RemoveDeviceEntry(*found);
  session_.Devices().DeleteDevice(found);
}

void TDeviceMethods::DeviceLock(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result,
                                const TCaller& caller) {
  const std::shared_ptr<device::TDevice> found = DeviceOf(params, result);
  if (!found) return;
  const std::size_t count = params.size();
  const TLockInfo state = DeviceLockState(registry_, caller.Certificate, *found);
  switch (state.State) {
    case lsUnlocked: {
      if (count > kLockMaxCount) return;
      if (!params[kLockValue].IsBoolean()) {
        SetFault(result, kInvalidType);
        return;
      }
      if (!params[kLockValue].AsBoolean()) return;
      // Every value is read before anything changes: one of the wrong kind,
      // or a key that does not convert, fails the call with the device
      // still free.
      std::optional<bool> get_event;
      std::optional<bool> get_cmd;
      std::optional<device::DeviceKey> key;
      if (count > kLockGetEvent) get_event = params[kLockGetEvent].AsBoolean();
      if (count > kLockGetCmd) get_cmd = params[kLockGetCmd].AsBoolean();
      if (count > kLockMasterKey) key = device::TextToKey(params[kLockMasterKey].AsString());

      PostDeviceNotice(WM_DEVICE_LOCKED, *found, caller);
      registry_.AddDeviceEntry(*found, caller.Certificate);
      if (get_event) {
        found->SetGetEvent(*get_event);
        if (*get_event) PostDeviceNotice(WM_RESEND_CACHE, *found, caller);
      }
      if (get_cmd) found->SetGetCmd(*get_cmd);
      if (key) found->SetMasterKey(*key);
      found->SetEnabled(true);
      return;
    }
    case lsMine:
      if (count != kLockQueryCount) {
        SetFault(result, kLockedByMe);
        return;
      }
      // Removing the entry clears GetEvent and GetCmd, releases the device
      // and posts WM_DEVICE_UNLOCKED.
      if (!params[kLockValue].AsBoolean()) registry_.ReleaseDevices(caller.Certificate, found.get());
      return;
    case lsOther:
      SetFault(result, kDeviceLocked, state.Owner);
      return;
  }
}

// ---- SendData, SendService, Connected ---------------------------------------------

void TDeviceMethods::SendData(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result,
                              const TCaller& caller) {
  const std::shared_ptr<device::TDevice> found = OwnDeviceOf(params, result, caller);
  if (!found) return;
  if (!found->Connected) {
    SetFault(result, kDeviceNotConnected);
    return;
  }
  if (!found->SubmitData(HexToBytes(params[kDataParam].AsString()))) SetFault(result, kSendQueueFull);
}

void TDeviceMethods::SendService(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result,
                                 const TCaller& caller) {
  const std::shared_ptr<device::TDevice> found = OwnDeviceOf(params, result, caller);
  if (!found) return;
  std::vector<std::uint8_t> bytes = HexToBytes(params[kDataParam].AsString());
  if (!found->SubmitService(std::move(bytes), params[kEncryptedParam].AsBoolean())) {
    SetFault(result, kSendQueueFull);
  }
}

void TDeviceMethods::Connected(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result,
                               const TCaller& caller) {
  const std::shared_ptr<device::TDevice> found = OwnDeviceOf(params, result, caller);
  if (found) result.AddItem(found->Connected.load());
}

// ---- MAC and the sub-devices --------------------------------------------------------

void TDeviceMethods::MAC(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result, const TCaller& caller) {
  const std::shared_ptr<device::TDevice> found =
      session_.FindDeviceByAddress(params.at(kHostParam).AsString(), params.at(kPortParam).AsInteger());
  if (!found) {
    SetFault(result, kDeviceNotFound);
    return;
  }
  if (!CheckDeviceAccess(result, registry_, caller.Certificate, *found)) return;
  if (device::IdEquals(found->Id(), device::NoId)) {
    SetFault(result, kNotDeviceId);
    return;
  }
  result.AddItem(found->IdText());
}

void TDeviceMethods::GetSubDevices(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result,
                                   const TCaller& caller) {
  if (const std::shared_ptr<device::TDevice> found = OwnDeviceOf(params, result, caller)) {
    found->RequestSubDevices();
  }
}

void TDeviceMethods::SubDevices(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result,
                                const TCaller& caller) {
  const std::shared_ptr<device::TDevice> found = OwnDeviceOf(params, result, caller);
  if (!found) return;
  auto array = std::make_shared<xmlrpc::TRpcArray>();
  for (const device::TSubDevice& sub_device : found->SubDeviceList()) array->AddItem(SubDeviceStruct(sub_device));
  result.AddItem(std::move(array));
}

void TDeviceMethods::SubDevice(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result,
                               const TCaller& caller) {
  const std::shared_ptr<device::TDevice> found = OwnDeviceOf(params, result, caller);
  if (!found) return;
  const std::optional<device::TSubDevice> sub_device =
      found->FindSubDeviceByText(params.at(kSubDeviceParam).AsString());
  if (!sub_device) {
    SetFault(result, kDeviceNotFound);
    return;
  }
  result.AddItem(SubDeviceStruct(*sub_device));
}

}  // namespace kavor2::service
