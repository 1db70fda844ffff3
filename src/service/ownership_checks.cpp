#include "service/ownership_checks.h"

#include "service/api_faults.h"
#include "service/api_prologue.h"

namespace kavor2::service {

TLockInfo LineLockState(const subscribers::TSubscribersInfo& registry, const platform::Guid& certificate,
                        const subscribers::IOwnedLine& line) {
  const subscribers::TLineSubscribers& entries = registry.LineSubscribers();
  const int i = entries.IndexOf([&](const subscribers::TLineSubscriber& e) { return e.Line == &line; });
  if (i < 0) return {};
  const platform::Guid& owner = entries.Items(i).OwnerCertificate;
  if (owner == certificate) return {lsMine, {}};
  return {lsOther, registry.DisplayTextOf(owner)};
}

std::string LineDetail(std::int32_t line_id) {
  std::string detail(kLineDetail);
  detail += std::to_string(line_id);
  detail += ' ';
  return detail;
}

bool CheckLineAccess(xmlrpc::TRpcFunction& result, const subscribers::TSubscribersInfo& registry,
                     const platform::Guid& certificate, const subscribers::IOwnedLine& line) {
  const TLockInfo lock = LineLockState(registry, certificate, line);
  switch (lock.State) {
    case lsMine:
      return true;
    case lsUnlocked:
      SetFault(result, kObjectUnlocked, LineDetail(line.LineId()));
      return false;
    case lsOther:
      SetFault(result, kLockedByOther, LineDetail(line.LineId()) + lock.Owner);
      return false;
  }
  return false;
}

subscribers::TSubscriber* LineOwner(const subscribers::TSubscribersInfo& registry,
                                    const subscribers::IOwnedLine& line) {
  const subscribers::TLineSubscribers& entries = registry.LineSubscribers();
  for (int i = 0; i < entries.Count(); ++i) {
    const subscribers::TLineSubscriber& e = entries.Items(i);
    if (e.Line != &line) continue;
    if (subscribers::TSubscriber* s = registry.FindByCertificate(e.OwnerCertificate)) return s;
  }
  return nullptr;
}

bool LineDevicesFree(const subscribers::TSubscribersInfo& registry, const platform::Guid& certificate,
                     const subscribers::IOwnedLine& line, std::string& owner) {
  const subscribers::TDeviceSubscribers& entries = registry.DeviceSubscribers();
  const int i = entries.IndexOf([&](const subscribers::TDeviceSubscriber& e) {
    return e.Device->LineId() == line.LineId() && e.OwnerCertificate != certificate;
  });
  if (i < 0) return true;
  owner = registry.DisplayTextOf(entries.Items(i).OwnerCertificate);
  return false;
}

TLockInfo DeviceLockState(const subscribers::TSubscribersInfo& registry, const platform::Guid& certificate,
                          const subscribers::IOwnedDevice& device) {
  const subscribers::TDeviceSubscribers& entries = registry.DeviceSubscribers();
  const int i = entries.IndexOf([&](const subscribers::TDeviceSubscriber& e) { return e.Device == &device; });
  if (i < 0) return {};
  const platform::Guid& owner = entries.Items(i).OwnerCertificate;
  if (owner == certificate) return {lsMine, {}};
  return {lsOther, registry.DisplayTextOf(owner)};
}

std::string DeviceDetail(const std::string& id_text) {
  std::string detail(kDeviceDetail);
  detail += id_text;
  detail += ' ';
  return detail;
}

bool CheckDeviceAccess(xmlrpc::TRpcFunction& result, const subscribers::TSubscribersInfo& registry,
                       const platform::Guid& certificate, const subscribers::IOwnedDevice& device) {
  const TLockInfo lock = DeviceLockState(registry, certificate, device);
  switch (lock.State) {
    case lsMine:
      return true;
    case lsUnlocked:
      SetFault(result, kObjectUnlocked, DeviceDetail(device.IdText()));
      return false;
    case lsOther:
      SetFault(result, kLockedByOther, DeviceDetail(device.IdText()) + lock.Owner);
      return false;
  }
  return false;
}

subscribers::TSubscriber* DeviceOwner(const subscribers::TSubscribersInfo& registry,
                                      const subscribers::IOwnedDevice& device) {
  const subscribers::TDeviceSubscribers& entries = registry.DeviceSubscribers();
  for (int i = 0; i < entries.Count(); ++i) {
    const subscribers::TDeviceSubscriber& e = entries.Items(i);
    if (e.Device != &device) continue;
    if (subscribers::TSubscriber* s = registry.FindByCertificate(e.OwnerCertificate)) return s;
  }
  return nullptr;
}

}  // namespace kavor2::service
