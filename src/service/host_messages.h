#pragma once
// The host window's messages and the records they carry.
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "device/k2_message.h"
#include "service/host_window.h"

namespace kavor2::service {

// Numbered from the first user message number, as peers' tools know them.
inline constexpr std::uint32_t kWmUser = 1024;
inline constexpr std::uint32_t WM_LINE_LOCKED = kWmUser + 13;         // TStateRecord
inline constexpr std::uint32_t WM_LINE_UNLOCKED = kWmUser + 14;       // TStateRecord
inline constexpr std::uint32_t WM_DEVICE_LOCKED = kWmUser + 15;       // TStateRecord
inline constexpr std::uint32_t WM_DEVICE_UNLOCKED = kWmUser + 16;     // TStateRecord
inline constexpr std::uint32_t WM_RELEASE_SUBSCRIBER = kWmUser + 17;  // TClientRecInfo: connection endpoint
inline constexpr std::uint32_t WM_RESEND_CACHE = kWmUser + 18;        // TStateRecord
inline constexpr std::uint32_t WM_CHECK_CLIENTS = kWmUser + 19;       // nothing
inline constexpr std::uint32_t WM_CONNECT_CALLBACK = kWmUser + 20;    // TClientRecInfo: connection endpoint
inline constexpr std::uint32_t WM_LINE_ADDED = kWmUser + 21;          // TStateRecord
inline constexpr std::uint32_t WM_LINE_DELETED = kWmUser + 22;        // TStateRecord
inline constexpr std::uint32_t WM_DEVICE_ADDED = kWmUser + 23;        // TStateRecord
inline constexpr std::uint32_t WM_DEVICE_DELETED = kWmUser + 24;      // TStateRecord

// A client endpoint (IP text and port) on its way through the window.
struct TClientRecInfo : HostRecord {
  TClientRecInfo(std::string ip, std::int32_t port) : IP(std::move(ip)), Port(port) {}
  std::string IP;
  std::int32_t Port = 0;
};

// A line or device notice (or a device state) on its way through the window.
struct TStateRecord : HostRecord {
  explicit TStateRecord(device::TStateDeviceMessage message) : Message(std::move(message)) {}
  device::TStateDeviceMessage Message;
};

// Where the handlers, the registry and the liveness thread post host
// messages. Any thread; never blocks. False when the message went nowhere
// (the window is gone); the record is freed then.
class IHostPoster {
 public:
  virtual ~IHostPoster() = default;
  virtual bool Post(std::uint32_t msg, std::unique_ptr<HostRecord> record = nullptr) = 0;
};

}  // namespace kavor2::service
