#pragma once
// What devices and their registry need of a line. The session's line class
// implements IDeviceLine and the line collection ILineDirectory.
#include <cstdint>
#include <memory>
#include <mutex>

#include "device/id_key_text.h"
#include "device/traffic_counters.h"

namespace kavor2::device {

class IDeviceLine {
 public:
  virtual ~IDeviceLine() = default;
  // The line's collection ID, never reused in the life of the process.
  virtual std::int32_t LineId() const = 0;
  // Guards the line's share of the device collection: every add and delete
  // of one of its devices runs under it. Re-entrant, so a line thread that
  // holds it may add a device.
  virtual std::recursive_mutex& LineLock() = 0;
  // The ID by which the line's devices know this system, stored order. Any
  // thread: the line recomputes it when its low-level thread starts.
  virtual DeviceId OwnId() const = 0;

  // Facts of the line's transport that every new device copies.
  virtual bool SenderOnWire() const = 0;    // packets carry the sender address
  virtual bool ReceiverOnWire() const = 0;  // packets carry the receiver address
  virtual std::int32_t KeyExchangeTimeOut() const = 0;  // seconds
  virtual std::int32_t AnswerTimeOut() const = 0;       // milliseconds: a device's CommandTimeOut
  virtual std::int32_t LinkTime() const = 0;            // seconds: a device's ConnectTimeOut

  // The line's traffic counters, which its devices bump as well as their
  // own for what they find in their packets; null for a line that keeps
  // none. Shared, so a device may outlive its line.
  virtual std::shared_ptr<TTrafficCounters> TrafficCounters() const { return nullptr; }
};

class ILineDirectory {
 public:
  virtual ~ILineDirectory() = default;
  // The line with that ID, or null. Lines are shared so that a thread that
  // found one may keep using it (and its lock) while the line is deleted.
  virtual std::shared_ptr<IDeviceLine> FindLine(std::int32_t line_id) const = 0;
};

}  // namespace kavor2::device
