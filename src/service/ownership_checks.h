#pragma once
// Who owns a line or a device, as the line and device methods ask it: the
// lock state of an object for a caller, the access check that turns a state
// other than "mine" into a fault, the object's owner, and whether another
// subscriber owns a device on a line. Service thread only, like the registry
// they read.
#include <cstdint>
#include <string>

#include "platform/guid.h"
#include "subscribers/owned_objects.h"
#include "subscribers/subscribers_info.h"
#include "xmlrpc/rpc_types.h"

namespace kavor2::service {

enum TLockState : std::uint8_t {
  lsUnlocked,  // nobody owns the object
  lsMine,      // the caller owns it
  lsOther,     // another subscriber owns it
};

struct TLockInfo {
  TLockState State = lsUnlocked;
  // lsOther: the owner's display text (empty when its certificate belongs to
  // no registered subscriber any more).
  std::string Owner;
};

// By the first line entry of the line.
TLockInfo LineLockState(const subscribers::TSubscribersInfo& registry, const platform::Guid& certificate,
                        const subscribers::IOwnedLine& line);

// True for lsMine. Otherwise sets fault 8 ("Object is unlocked Line ID : N ")
// or fault 7 ("Object is locked by other user Line ID : N " + owner).
bool CheckLineAccess(xmlrpc::TRpcFunction& result, const subscribers::TSubscribersInfo& registry,
                     const platform::Guid& certificate, const subscribers::IOwnedLine& line);

// The first registered subscriber that an entry of the line leads to; null
// when none does.
subscribers::TSubscriber* LineOwner(const subscribers::TSubscribersInfo& registry,
                                    const subscribers::IOwnedLine& line);

// True when no device entry of another certificate is for a device on the
// line. Otherwise `owner` := the display text of the first such entry's owner.
bool LineDevicesFree(const subscribers::TSubscribersInfo& registry, const platform::Guid& certificate,
                     const subscribers::IOwnedLine& line, std::string& owner);

// "Line ID : " + the ID in decimal + " ": the start of the line faults'
// detail; the owner's text follows.
std::string LineDetail(std::int32_t line_id);

// By the first device entry of the device.
TLockInfo DeviceLockState(const subscribers::TSubscribersInfo& registry, const platform::Guid& certificate,
                          const subscribers::IOwnedDevice& device);

// True for lsMine. Otherwise sets fault 8 ("Object is unlocked  Device ID :
// <ID> ") or fault 7 ("Object is locked by other user  Device ID : <ID> " +
// owner).
bool CheckDeviceAccess(xmlrpc::TRpcFunction& result, const subscribers::TSubscribersInfo& registry,
                       const platform::Guid& certificate, const subscribers::IOwnedDevice& device);

// The first registered subscriber that an entry of the device leads to;
// null when none does.
subscribers::TSubscriber* DeviceOwner(const subscribers::TSubscribersInfo& registry,
                                      const subscribers::IOwnedDevice& device);

// " Device ID : " + the ID text + " ": the start of the device faults'
// detail; the owner's text follows.
std::string DeviceDetail(const std::string& id_text);

}  // namespace kavor2::service
