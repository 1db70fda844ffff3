#pragma once
// What the registry needs of the lines and devices that subscribers own, and
// of the window that hears about released ones. The line and device classes
// implement the first two; the service host implements the window.
#include <cstdint>
#include <memory>
#include <string>

#include "device/k2_message.h"

namespace kavor2::subscribers {

// Profile bits that belong to the owner: events delivered and cached, and
// command traces. They go when the owner does.
inline constexpr std::uint8_t kProfileGetEvent = 0x02;
inline constexpr std::uint8_t kProfileGetCmd = 0x20;
inline constexpr std::uint8_t kProfileOwnerBits = kProfileGetEvent | kProfileGetCmd;

// A line that a subscriber can own.
class IOwnedLine {
 public:
  virtual ~IOwnedLine() = default;
  // The line's collection ID (never reused in the life of the process).
  virtual std::int32_t LineId() const = 0;
};

// A device that a subscriber can own.
class IOwnedDevice {
 public:
  virtual ~IOwnedDevice() = default;
  // Twelve upper-case hexadecimal digits, most significant byte first.
  virtual std::string IdText() const = 0;
  // The ID of the line the device lives on.
  virtual std::int32_t LineId() const = 0;
  virtual std::uint8_t Profile() const = 0;
  virtual void SetProfile(std::uint8_t profile) = 0;
  // Disables the device (disconnecting it first) and gives it the default key.
  virtual void Release() = 0;
};

// The host window as the registry sees it: the notices posted when an
// ownership entry goes. The receiver owns the record. Posting never blocks;
// a notice posted after the window is gone is dropped.
class INoticeWindow {
 public:
  virtual ~INoticeWindow() = default;
  // WM_LINE_UNLOCKED: Kind line, Subject the line ID, Owner the owner's display text.
  virtual void PostLineUnlocked(std::unique_ptr<device::TStateDeviceMessage> notice) = 0;
  // WM_DEVICE_UNLOCKED: Kind device, Subject the device ID text, Owner as above.
  virtual void PostDeviceUnlocked(std::unique_ptr<device::TStateDeviceMessage> notice) = 0;
};

}  // namespace kavor2::subscribers
