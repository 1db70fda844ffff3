#pragma once
// Delivery to subscribers: the calls the service makes on the subscribers'
// callback servers, the callback connection made after a registration, and
// what the results of those calls mean for the subscriber.
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device/kavor_session.h"
#include "platform/event_log.h"
#include "service/message_cache.h"
#include "service/host_messages.h"
#include "subscribers/subscribers_info.h"
#include "xmlrpc/rpc_client.h"
#include "xmlrpc/rpc_types.h"

namespace kavor2::service {

// Codes of the state method's notifications made by the host itself.
// Codes 0 to 3 and 8 to 10 are the session's state codes, passed through.
inline constexpr std::int32_t kStateDisconnected = 0;
inline constexpr std::int32_t kStateConnected = 1;
inline constexpr std::int32_t kStateDeviceAutoAdded = 2;
inline constexpr std::int32_t kStateDeviceIdChanged = 3;
inline constexpr std::int32_t kNotifyLineLocked = 4;
inline constexpr std::int32_t kNotifyLineUnlocked = 5;
inline constexpr std::int32_t kNotifyDeviceLocked = 6;
inline constexpr std::int32_t kNotifyDeviceUnlocked = 7;
inline constexpr std::int32_t kNotifyLineAdded = 12;
inline constexpr std::int32_t kNotifyLineDeleted = 13;
inline constexpr std::int32_t kNotifyDeviceAdded = 14;
inline constexpr std::int32_t kNotifyDeviceDeleted = 15;
inline constexpr std::int32_t kNotifySubscriberConnected = 20;
inline constexpr std::int32_t kNotifySubscriberReleased = 21;

// A registration's callback connection is tried this many times in the
// subscriber's lifetime before the subscriber is given up.
inline constexpr int kMaxConnectAttempts = 5;

inline constexpr std::string_view kPingMethod = "Ping";

// The data kind of a device's data packet: with Deliver set, its frames are
// for the device's owner.
inline constexpr std::int32_t kKindDataPacket = 3;

// Every byte as two upper-case hexadecimal digits, high digit first.
std::string BytesToHex(const std::vector<std::uint8_t>& bytes);
// The numbers of the set bits, 7 down to 0: "7 2 " (the owner's data call)
// or " 7 2" (the traces).
std::string FlagsTextTrailing(std::uint8_t flags);
std::string FlagsTextLeading(std::uint8_t flags);
// Whether a frame of the owner's data is one that must not be lost: its
// second byte (after the length) has 5 or 6 in its low six bits.
bool IsCachedFrame(const std::vector<std::uint8_t>& data);

// Everything here runs on the service thread. Calls are queued on the
// subscribers' callback clients and never awaited; the only blocking step
// is ConnectCallback's connection attempt (bounded by the client's connect
// time-out, and by its read time-out for the session-key exchange).
class TDelivery {
 public:
  // `session` finds the devices that records and notices name; without one
  // nothing about a device is sent.
  TDelivery(subscribers::TSubscribersInfo& registry, IHostPoster& window, platform::EventLog& log,
            const device::TKavorSession* session = nullptr)
      : registry_(registry), window_(window), log_(log), session_(session) {}
  TDelivery(const TDelivery&) = delete;
  TDelivery& operator=(const TDelivery&) = delete;

  // Called with the transaction ID of every call that its callback server
  // accepted (the cache drops the rows it carried). Unset: nothing.
  std::function<void(const std::string& guid)> OnCallAccepted;

  // The cache of undelivered messages; null (the default) when it is off.
  // It must outlive the delivery or be unset first.
  void SetCache(TMessageCache* cache) { cache_ = cache; }

  // Queues the call (its method name and parameters set) on the
  // subscriber's callback client, towards its callback endpoint.
  void Send(subscribers::TSubscriber& to, xmlrpc::IRpcFunction call);

  // Notification 20 or 21 about `about`, to every debug and command-mode
  // subscriber: code, certificate text, display text.
  void NotifySubscriberEvent(std::int32_t code, const subscribers::TSubscriber& about);
  // Line notifications (4, 5, 12, 13) to every subscriber: code, line ID
  // (the notice's Subject), owner text.
  void NotifyLine(std::int32_t code, const device::TStateDeviceMessage& notice);
  // Notification 15 to every subscriber: device ID text, owner text.
  void NotifyDeviceDeleted(const device::TStateDeviceMessage& notice);
  // Device notifications 6, 7 and 14 to every subscriber: code, line ID,
  // device ID text, IP text and port when the device has an IP text, owner
  // text. Nothing when the device (the notice's Subject) is gone.
  void NotifyDevice(std::int32_t code, const device::TStateDeviceMessage& notice);
  // WM_RESEND_CACHE: the device's cached rows to its owner, each as a call
  // with the device ID text and the data, re-keyed to that call.
  void ResendCache(const device::TStateDeviceMessage& notice);

  // WM_CONNECT_CALLBACK: one connection attempt to the callback server of
  // the subscriber registered over `endpoint`; on success notification 20,
  // otherwise the message again, or the subscriber's release once it has
  // used up its attempts.
  void ConnectCallback(std::unique_ptr<TClientRecInfo> endpoint);

  // Installed as every callback client's OnGetASYNCHResultPlus.
  void OnCallResult(xmlrpc::TRpcClient& owner, const std::string& guid, const std::string& method_name,
                    const std::string& host_name, const xmlrpc::IRpcResult& result, std::int32_t port);
  // Installed as every callback client's OnError.
  void OnCallError(const std::exception* error, const std::string& guid, const std::string& method_name,
                   const std::string& host_name, std::int32_t host_port, std::int32_t error_id);

  // The session's records, on the service thread. The record is valid for
  // the call only.
  // A data record (1035): a trace, or a device's data for its owner.
  void DeviceData(std::int32_t kind, const device::TK2Message& record);
  // A state record (1036); record is null for an empty one.
  void DeviceState(std::uint16_t state, const device::TStateDeviceMessage* record);

  // Posts WM_RELEASE_SUBSCRIBER for the subscriber's connection endpoint.
  void PostRelease(const subscribers::TSubscriber& subscriber);

 private:
  subscribers::TSubscribersInfo& registry_;
  IHostPoster& window_;
  platform::EventLog& log_;
  const device::TKavorSession* session_;
  TMessageCache* cache_ = nullptr;

  std::shared_ptr<device::TDevice> FindDevice(const std::string& id_text) const;
  void DeliverToOwner(std::int32_t kind, const device::TK2Message& record, const device::TDevice& device);
  void SendTrace(subscribers::TSubscriber& to, std::int32_t kind, const device::TK2Message& record);
  void SendDeviceState(std::int32_t code, const device::TStateDeviceMessage* record);
};

}  // namespace kavor2::service
