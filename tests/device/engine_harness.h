#pragma once
// A device record of the engine and a simulated device joined by an
// in-memory line that the test drives step by step, with a counter clock
// the test moves (1000 ticks per second).
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "device/device.h"
#include "device_fakes.h"
#include "k2sim/k2sim_device.h"
#include "platform/text.h"

namespace kavor2::device::test {

inline std::string Cp(std::string_view utf8) { return platform::Utf8ToCp1251(utf8); }

inline TK2MessagePtr Packet(std::vector<std::uint8_t> bytes) {
  auto message = std::make_shared<TK2Message>();
  message->Data = std::move(bytes);
  return message;
}

// What the line does to one packet.
struct LineFaults {
  double loss = 0;     // probability of dropping it
  double corrupt = 0;  // probability of flipping one bit
};

class EngineHarness {
 public:
  static constexpr std::int64_t kStart = 10'000;
  static constexpr std::int64_t kStep = 20;  // ms per Step by default

  explicit EngineHarness(bool ethernet = true, k2sim::TSimConfig sim_config = DefaultSimConfig())
      : line(std::make_shared<FakeLine>(0, ethernet)) {
    TDeviceClock clock = FixedClock();
    clock.Counter = [now = now_] { return now->load(); };
    device = std::make_shared<TDevice>(&events, clock);
    device->SenderOnWire = ethernet;
    device->ReceiverOnWire = ethernet;
    device->SetLine(line);
    device->SetId(kDeviceId);
    sim_config.Id = kDeviceId;
    sim_config.LineAddress = ReverseId(line->own_id);
    sim_config.AddressesOnWire = ethernet;
    sim = std::make_unique<k2sim::TSimDevice>(sim_config);
  }

  static k2sim::TSimConfig DefaultSimConfig() {
    k2sim::TSimConfig config;
    config.MasterKey = kMasterKey;
    config.RxMasterCounter = 0x123456F0;  // the service's master counter must be taken from it
    config.TxMasterCounter = 0x0BADF00D;
    return config;
  }

  std::int64_t Now() const { return now_->load(); }
  void Advance(std::int64_t ms) { now_->fetch_add(ms); }

  // One tick, then every packet the tick handed to the line goes to the
  // device (unless `to_device` says otherwise) and the device's answers come
  // back into the in-queue.
  void Step(std::int64_t ms = kStep) {
    Advance(ms);
    device->Tick();
    while (TK2MessagePtr out = device->PopWire()) {
      sent.push_back(out);
      if (hold_line) continue;
      std::vector<std::uint8_t> bytes = out->Data;
      if (!Carry(bytes, to_device_faults)) continue;
      for (auto& answer : sim->Receive(bytes)) FromDevice(std::move(answer));
    }
  }

  // A packet from the device, through the line's faults.
  void FromDevice(std::vector<std::uint8_t> bytes) {
    if (Carry(bytes, to_service_faults)) device->PushReceived(Packet(std::move(bytes)));
  }

  bool RunUntil(const std::function<bool()>& done, int max_steps = 2000, std::int64_t ms = kStep) {
    for (int i = 0; i < max_steps; ++i) {
      if (done()) return true;
      Step(ms);
    }
    return done();
  }

  // Enables the device and runs the key exchange on the line as it stands;
  // then the device reports that data may be sent.
  bool Connect() {
    device->SetMasterKey(kMasterKey);
    device->SetEnabled(true);
    if (!RunUntil([this] { return device->Connected && sim->Connected(); })) return false;
    FromDevice(sim->StatusWord(k2sim::kStatusDataAllowed));
    if (!RunUntil([this] { return (device->ProfileByte() & kProfileDataAllowed) != 0; })) return false;
    // The key exchange step times out back to idle; the queues drain.
    return RunUntil([this] { return device->KeyExchangeState == 0 && Idle(); }, 200, 50);
  }

  // Nothing waits to be sent or handled.
  bool Idle() const {
    for (const auto& queue : device->SendQueues) {
      if (!queue.IsEmpty()) return false;
    }
    return device->InQueueEmpty() && device->WireQueueEmpty();
  }

  // Data records whose trace is the text.
  std::vector<RecordingEvents::Data> Traces(std::string_view utf8) const {
    std::vector<RecordingEvents::Data> out;
    const std::string text = Cp(utf8);
    for (auto& record : events.DataRecords()) {
      if (record.message->TraceText == text) out.push_back(record);
    }
    return out;
  }
  // Data records meant for the client.
  std::vector<RecordingEvents::Data> Delivered() const {
    std::vector<RecordingEvents::Data> out;
    for (auto& record : events.DataRecords()) {
      if (record.kind == DataPackage && record.message->Deliver) out.push_back(record);
    }
    return out;
  }
  std::vector<std::uint16_t> StateCodes() const {
    std::vector<std::uint16_t> codes;
    for (const auto& state : events.States()) codes.push_back(state.code);
    return codes;
  }

  static constexpr DeviceId kDeviceId = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
  static constexpr DeviceKey kMasterKey = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                           0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};

  RecordingEvents events;
  std::shared_ptr<FakeLine> line;
  std::shared_ptr<TDevice> device;
  std::unique_ptr<k2sim::TSimDevice> sim;
  // Every packet the service handed to the line, in order.
  std::vector<TK2MessagePtr> sent;
  bool hold_line = false;  // packets handed to the line go nowhere
  LineFaults to_device_faults;
  LineFaults to_service_faults;

 private:
  bool Carry(std::vector<std::uint8_t>& bytes, const LineFaults& faults) {
    std::uniform_real_distribution<double> chance(0, 1);
    if (faults.loss > 0 && chance(random_) < faults.loss) return false;
    if (faults.corrupt > 0 && chance(random_) < faults.corrupt && !bytes.empty()) {
      std::uniform_int_distribution<std::size_t> bit(0, bytes.size() * 8 - 1);
      const std::size_t b = bit(random_);
      bytes[b / 8] ^= static_cast<std::uint8_t>(1u << (b % 8));
    }
    return true;
  }

  std::shared_ptr<std::atomic<std::int64_t>> now_ = std::make_shared<std::atomic<std::int64_t>>(kStart);
  std::mt19937 random_{20240305};
};

}  // namespace kavor2::device::test
