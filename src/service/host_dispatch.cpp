#include "service/host_dispatch.h"

namespace kavor2::service {
namespace {

template <typename Record>
std::unique_ptr<Record> TakeRecord(HostMessage& message) {
  if (!dynamic_cast<Record*>(message.Record.get())) return nullptr;
  return std::unique_ptr<Record>(static_cast<Record*>(message.Record.release()));
}

bool NotifyLine(HostMessage& message, TDelivery& delivery, std::int32_t code) {
  auto record = TakeRecord<TStateRecord>(message);
  if (!record) return false;
  delivery.NotifyLine(code, record->Message);
  return true;
}

bool NotifyDevice(HostMessage& message, TDelivery& delivery, std::int32_t code) {
  auto record = TakeRecord<TStateRecord>(message);
  if (!record) return false;
  delivery.NotifyDevice(code, record->Message);
  return true;
}

}  // namespace

bool RouteHostMessage(HostMessage& message, TDelivery& delivery, TLiveness& liveness) {
  switch (message.Msg) {
    case WM_CONNECT_CALLBACK: {
      auto endpoint = TakeRecord<TClientRecInfo>(message);
      if (!endpoint) return false;
      delivery.ConnectCallback(std::move(endpoint));
      return true;
    }
    case WM_RELEASE_SUBSCRIBER: {
      auto endpoint = TakeRecord<TClientRecInfo>(message);
      if (!endpoint) return false;
      liveness.ReleaseSubscriber(std::move(endpoint));
      return true;
    }
    case WM_CHECK_CLIENTS:
      liveness.CheckClients();
      return true;
    case WM_LINE_LOCKED:
      return NotifyLine(message, delivery, kNotifyLineLocked);
    case WM_LINE_UNLOCKED:
      return NotifyLine(message, delivery, kNotifyLineUnlocked);
    case WM_LINE_ADDED:
      return NotifyLine(message, delivery, kNotifyLineAdded);
    case WM_LINE_DELETED:
      return NotifyLine(message, delivery, kNotifyLineDeleted);
    case WM_DEVICE_DELETED: {
      auto record = TakeRecord<TStateRecord>(message);
      if (!record) return false;
      delivery.NotifyDeviceDeleted(record->Message);
      return true;
    }
    case WM_DEVICE_LOCKED:
      return NotifyDevice(message, delivery, kNotifyDeviceLocked);
    case WM_DEVICE_UNLOCKED:
      return NotifyDevice(message, delivery, kNotifyDeviceUnlocked);
    case WM_DEVICE_ADDED:
      return NotifyDevice(message, delivery, kNotifyDeviceAdded);
    case WM_RESEND_CACHE: {
      auto record = TakeRecord<TStateRecord>(message);
      if (!record) return false;
      delivery.ResendCache(record->Message);
      return true;
    }
    default:
      return false;
  }
}

}  // namespace kavor2::service
