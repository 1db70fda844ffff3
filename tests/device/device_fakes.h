#pragma once
// Lines, a line directory and a record sink for device and registry tests.
#include <chrono>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "device/device_clock.h"
#include "device/device_events.h"
#include "device/device_line.h"

namespace kavor2::device::test {

struct FakeLine : IDeviceLine {
  FakeLine(std::int32_t id, bool on_wire) : id(id), on_wire(on_wire) {}

  std::int32_t id;
  bool on_wire;  // Ethernet lines put both addresses on the wire, serial lines neither
  std::int32_t answer_time_out = 1500;
  std::int32_t link_time = 25;
  std::int32_t key_exchange_time_out = 2;
  DeviceId own_id{0x5E, 0x4D, 0x3C, 0x80, 0x00, 0x40};
  std::recursive_mutex lock;

  std::int32_t LineId() const override { return id; }
  std::recursive_mutex& LineLock() override { return lock; }
  DeviceId OwnId() const override { return own_id; }
  bool SenderOnWire() const override { return on_wire; }
  bool ReceiverOnWire() const override { return on_wire; }
  std::int32_t KeyExchangeTimeOut() const override { return key_exchange_time_out; }
  std::int32_t AnswerTimeOut() const override { return answer_time_out; }
  std::int32_t LinkTime() const override { return link_time; }

  std::shared_ptr<TTrafficCounters> counters = std::make_shared<TTrafficCounters>();
  std::shared_ptr<TTrafficCounters> TrafficCounters() const override { return counters; }
};

class FakeLines : public ILineDirectory {
 public:
  std::shared_ptr<FakeLine> Add(std::int32_t id, bool on_wire) {
    auto line = std::make_shared<FakeLine>(id, on_wire);
    std::lock_guard guard(mutex_);
    lines_[id] = line;
    return line;
  }
  void Remove(std::int32_t id) {
    std::lock_guard guard(mutex_);
    lines_.erase(id);
  }
  std::shared_ptr<IDeviceLine> FindLine(std::int32_t id) const override {
    std::lock_guard guard(mutex_);
    const auto it = lines_.find(id);
    return it == lines_.end() ? nullptr : it->second;
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::int32_t, std::shared_ptr<FakeLine>> lines_;
};

// Keeps what devices post, in order, for any thread.
class RecordingEvents : public IDeviceEvents {
 public:
  struct State {
    std::uint16_t code;
    TStateDeviceMessage record;
  };
  struct Data {
    std::int32_t kind;
    TK2MessagePtr message;
  };

  void PostData(std::int32_t kind, TK2MessagePtr message) override {
    std::lock_guard guard(mutex_);
    data_.push_back({kind, std::move(message)});
  }
  void PostState(std::uint16_t code, std::unique_ptr<TStateDeviceMessage> record) override {
    std::lock_guard guard(mutex_);
    states_.push_back({code, record ? *record : TStateDeviceMessage{}});
  }

  std::vector<State> States() const {
    std::lock_guard guard(mutex_);
    return states_;
  }
  std::vector<Data> DataRecords() const {
    std::lock_guard guard(mutex_);
    return data_;
  }
  void ClearAll() {
    std::lock_guard guard(mutex_);
    states_.clear();
    data_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<State> states_;
  std::vector<Data> data_;
};

// A counter at 1000 ticks per second that tests move by hand, and a fixed
// wall clock.
inline TDeviceClock FixedClock(std::int64_t counter = 5000) {
  TDeviceClock clock;
  clock.Counter = [counter] { return counter; };
  clock.Frequency = 1000;
  clock.Wall = [] {
    // 2024-03-05 14:07:09.042 local time, whatever the zone.
    std::tm t{};
    t.tm_year = 124;
    t.tm_mon = 2;
    t.tm_mday = 5;
    t.tm_hour = 14;
    t.tm_min = 7;
    t.tm_sec = 9;
    t.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&t)) + std::chrono::milliseconds(42);
  };
  return clock;
}

}  // namespace kavor2::device::test
