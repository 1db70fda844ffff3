#pragma once
// TKavorSession: the root of the device side. It owns the lines, the one
// collection of the devices of all lines, the master-key list and the
// message sink through which line threads and devices report to the host.
//
// Threads. The session is created and destroyed on the service thread, the
// one that runs the event loop it is given; every record reaches the host's
// handlers there, one at a time, in posting order. Devices and line threads
// post from their own threads. Lookups run on any thread.
//
// Destruction: the sink closes first (queued records are dropped
// undelivered), then every line is deleted as DeleteLine does, then the
// devices and the master keys go.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "device/device_events.h"
#include "device/devices.h"
#include "device/lines.h"
#include "device/master_key_list.h"
#include "device/message_sink.h"
#include "device/session_environment.h"
#include "platform/event_loop.h"

namespace kavor2::device {

class TKavorSession;

// A data record (1035) for the host. The record lives for the call only.
using TDeviceDataEvent = std::function<void(TKavorSession& sender, std::int32_t kind, const TK2Message& record)>;
// A state record (1036); record is null for an empty one.
using TDeviceStateEvent =
    std::function<void(TKavorSession& sender, std::uint16_t state, const TStateDeviceMessage* record)>;

class TKavorSession final : public IDeviceEvents {
 public:
  // loop is the service thread's; it must outlive the session.
  explicit TKavorSession(platform::EventLoop& loop, TSessionEnvironment environment = {});
  ~TKavorSession() override;
  TKavorSession(const TKavorSession&) = delete;
  TKavorSession& operator=(const TKavorSession&) = delete;

  TLines& Lines() { return lines_; }
  const TLines& Lines() const { return lines_; }
  TDevices& Devices() { return devices_; }
  const TDevices& Devices() const { return devices_; }
  TMasterKeyList& MasterKeyList() { return master_keys_; }
  const TMasterKeyList& MasterKeyList() const { return master_keys_; }
  const TSessionEnvironment& Environment() const { return environment_; }

  // When on, the line threads give every device they add the key from
  // MasterKeyFor. Off at construction; nothing in the service turns it on.
  std::atomic<bool> UseMasterKeys{false};

  // Set, or clear with an empty function. Records delivered afterwards see
  // the new handler; an unset one skips them (the record is freed).
  void SetOnDeviceData(TDeviceDataEvent handler);
  void SetOnDeviceState(TDeviceStateEvent handler);

  // Lookups over Devices; null when nothing matches.
  // The first device whose ID text equals text exactly (case counts).
  std::shared_ptr<TDevice> FindDeviceByIdText(std::string_view text) const;
  std::shared_ptr<TDevice> FindDeviceOnLine(std::int32_t line_id, const DeviceId& id) const;
  // The first device, on any line, whose Host equals the text and whose Port
  // equals port.
  std::shared_ptr<TDevice> FindDeviceByAddress(std::string_view host, std::int32_t port) const;
  // The key of the first master-key entry with that ID; DefaultKey when none.
  DeviceKey MasterKeyFor(const DeviceId& id) const;

  // ---- IDeviceEvents: the message sink ------------------------------------
  // Any thread; never blocks. The sink owns the record from here on.
  void PostData(std::int32_t kind, TK2MessagePtr message) override;
  void PostState(std::uint16_t code, std::unique_ptr<TStateDeviceMessage> record) override;

 private:
  const TSessionEnvironment environment_;
  // Declared first so that it outlives the devices and lines that post to it.
  TMessageSink sink_;
  TLines lines_;
  TDevices devices_;
  TMasterKeyList master_keys_;
};

}  // namespace kavor2::device
