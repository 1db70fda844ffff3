#pragma once
// The API methods of the session's devices: listing, adding, deleting,
// locking, sending data and service commands, the connection state, the
// device settings, the lookup by address and the sub-devices. The method
// table runs each row's prologue (count, kinds, certificate, subscriber)
// first; these handlers do the rest, on the service thread. What other
// subscribers should hear about is posted to the host window and so
// delivered after the answer.
#include <cstdint>
#include <memory>
#include <string>

#include "device/kavor_session.h"
#include "service/api_prologue.h"
#include "service/host_messages.h"
#include "subscribers/subscribers_info.h"
#include "xmlrpc/rpc_types.h"

namespace kavor2::service {

// The device settings that clients read with (certificate, MAC) and set
// with (certificate, MAC, value).
enum class TDeviceSetting : std::uint8_t {
  kEnabled,             // boolean; true enables, false does nothing
  kIsLiveMessage,       // boolean; true sets it, false does nothing
  kLiveMessageTimeOut,  // int in seconds, read as a double
  kMasterKey,           // 32 hex digits; setting it also enables the device
  kHost,                // the IP text
  kPort,                // int
  kGetEvent,            // profile bit 0x02
  kGetCmd,              // profile bit 0x20
  kCommandTimeOut,      // int in units of 100 ms, read as a double
  kConnectTimeOut,      // int in seconds, read as a double
};

class TDeviceMethods {
 public:
  // All three must outlive the handlers' use of them.
  TDeviceMethods(device::TKavorSession& session, subscribers::TSubscribersInfo& registry, IHostPoster& window)
      : session_(session), registry_(registry), window_(window) {}
  TDeviceMethods(const TDeviceMethods&) = delete;
  TDeviceMethods& operator=(const TDeviceMethods&) = delete;

  // (certificate, line ID) -> one struct per device of the line: "MAC",
  // on Ethernet lines "Host" and "Port", "Subscriber", "Version".
  void Devices(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result, const TCaller& caller);
  // (certificate, line ID, MAC, GetEvent, GetCmd, ...) -> the new device's
  // ID text. Ethernet lines: PrimaryID, Host, Port, PrimaryIP, PrimaryPort,
  // [MasterKey]; serial lines: [ShortAddr, [MasterKey]]. The creator owns
  // the device, which is enabled; WM_DEVICE_ADDED, WM_DEVICE_LOCKED and,
  // with GetEvent, WM_RESEND_CACHE follow.
  void AddDevice(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result, const TCaller& caller);
  // (certificate, MAC): unless another subscriber owns it, releases the
  // device (disconnecting it) and deletes it.
  void DeleteDevice(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result, const TCaller& caller);
  // (certificate, MAC, lock, [GetEvent, [GetCmd, [MasterKey]]]): takes a
  // free device (enabling it, with the options given) or releases the
  // caller's own.
  void DeviceLock(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result, const TCaller& caller);
  // (certificate, MAC, hex data): the bytes into the connected device's data
  // queue; the caller must own the device.
  void SendData(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result, const TCaller& caller);
  // (certificate, MAC, hex data, encrypted): a service packet, queued
  // whether or not the device is connected.
  void SendService(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result, const TCaller& caller);
  // (certificate, MAC) -> whether the caller's device is connected.
  void Connected(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result, const TCaller& caller);
  // (certificate, MAC, [value]): reads or sets one setting of the caller's
  // device. A value the device cannot hold (negative, too large after
  // scaling) fails the call (fault 1001) and changes nothing.
  void Setting(TDeviceSetting setting, const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result,
               const TCaller& caller);
  // (certificate, host, port) -> the ID text of the caller's device at that
  // address.
  void MAC(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result, const TCaller& caller);
  // (certificate, MAC): empties the sub-device list and asks the device for
  // a new one.
  void GetSubDevices(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result, const TCaller& caller);
  // (certificate, MAC) -> one struct per sub-device: "ID", "DeviceType",
  // "State", "Version".
  void SubDevices(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result, const TCaller& caller);
  // (certificate, MAC, sub-device ID) -> that sub-device's struct.
  void SubDevice(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result, const TCaller& caller);

 private:
  bool AddEthernetDevice(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result,
                         std::shared_ptr<device::TDevice>& added, device::DeviceKey& key);
  bool AddSerialDevice(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result,
                       std::shared_ptr<device::TDevice>& added, device::DeviceKey& key);
  // The device named by parameter 1, or null with fault 1 "Device not found".
  std::shared_ptr<device::TDevice> DeviceOf(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result) const;
  // The same, and the caller must own it (fault 8 or 7 otherwise).
  std::shared_ptr<device::TDevice> OwnDeviceOf(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result,
                                               const TCaller& caller) const;
  void PostDeviceNotice(std::uint32_t msg, const device::TDevice& device, const TCaller& caller);

  device::TKavorSession& session_;
  subscribers::TSubscribersInfo& registry_;
  IHostPoster& window_;
};

}  // namespace kavor2::service
