#pragma once
// Where devices hand their records for the host: the session's message
// sink. The session implements it; it delivers the records on the service
// thread, in the order they were posted, and frees them afterwards.
#include <cstdint>
#include <memory>

#include "device/k2_message.h"

namespace kavor2::device {

// State codes of the records that devices and line threads post.
inline constexpr std::uint16_t kStateDisconnected = 0;  // device form; the connection was lost
inline constexpr std::uint16_t kStateConnected = 1;     // device form; the first working key arrived
inline constexpr std::uint16_t kStateDeviceAdded = 2;   // line threads: a device was added automatically
inline constexpr std::uint16_t kStateIdChanged = 3;     // line threads: a device changed its ID
inline constexpr std::uint16_t kStateSubDeviceOff = 8;  // sub-device form; a known one reported state 0
inline constexpr std::uint16_t kStateSubDeviceOn = 9;   // sub-device form; a known one reported state 1
inline constexpr std::uint16_t kStateSubDeviceNew = 10; // sub-device form; reported for the first time

class IDeviceEvents {
 public:
  virtual ~IDeviceEvents() = default;
  // A data record (session record 1035): a trace, or client data when kind
  // is 3 and Deliver is set. Any thread; never blocks. The sink owns the
  // message from here on; the poster does not touch it again.
  virtual void PostData(std::int32_t kind, TK2MessagePtr message) = 0;
  // A state record (session record 1036) with its code. Any thread; never
  // blocks.
  virtual void PostState(std::uint16_t code, std::unique_ptr<TStateDeviceMessage> record) = 0;
};

}  // namespace kavor2::device
