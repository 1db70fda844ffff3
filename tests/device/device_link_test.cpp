// The engine's device record against the simulated device over an
// in-memory line that loses and corrupts packets.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "engine_harness.h"
#include "test_bytes.h"

namespace kavor2::device {
namespace {

using test::Cp;
using test::EngineHarness;
using Bytes = std::vector<std::uint8_t>;

Bytes NumberedFrame(int i) {
  return Bytes{4, static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i * 3), static_cast<std::uint8_t>(~i)};
}

k2sim::TSimConfig FourFrames() {
  k2sim::TSimConfig config = EngineHarness::DefaultSimConfig();
  config.FramesPerPacket = 4;
  return config;
}

bool Contains(const std::vector<std::uint8_t>& values, std::uint8_t value) {
  return std::find(values.begin(), values.end(), value) != values.end();
}

TEST(LossyLine, KeyExchangeDataBothWaysAndTheLogicalDisconnect) {
  EngineHarness h(true, FourFrames());
  h.to_device_faults = {0.2, 0.1};
  h.to_service_faults = {0.2, 0.1};

  h.device->SetMasterKey(EngineHarness::kMasterKey);
  h.device->SetEnabled(true);
  ASSERT_TRUE(h.RunUntil([&] { return h.device->Connected && h.sim->Connected(); }, 20000));
  ASSERT_FALSE(h.StateCodes().empty());
  EXPECT_EQ(h.StateCodes().front(), kStateConnected);

  // The device allows data; its status word may be lost, so it says it again.
  for (int attempt = 0; attempt < 50 && !(h.device->ProfileByte() & kProfileDataAllowed); ++attempt) {
    h.FromDevice(h.sim->StatusWord(k2sim::kStatusDataAllowed));
    h.RunUntil([&] { return (h.device->ProfileByte() & kProfileDataAllowed) != 0; }, 10);
  }
  ASSERT_TRUE(h.device->ProfileByte() & kProfileDataAllowed);

  // Client data reaches the device in order, each frame once, whatever the
  // line loses on the way or back.
  std::vector<Bytes> to_device;
  for (int i = 0; i < 30; ++i) {
    to_device.push_back(NumberedFrame(i));
    ASSERT_TRUE(h.device->SubmitData(to_device.back()));
  }
  ASSERT_TRUE(h.RunUntil([&] { return h.sim->DataFrames().size() >= to_device.size() && h.device->DataQueueEmpty() &&
                                      h.device->SendQueues[sqData].IsEmpty(); },
                         50000));
  EXPECT_EQ(h.sim->DataFrames(), to_device);

  // Device data reaches the client once each: the device sends again until
  // it sees a receipt, and a repeat that already arrived is not delivered.
  std::vector<Bytes> to_client;
  for (int i = 0; i < 20; ++i) {
    to_client.push_back(NumberedFrame(100 + i));
    std::optional<std::uint8_t> pnum;
    for (int attempt = 0; attempt < 40; ++attempt) {
      if (!pnum) {
        Bytes packet = h.sim->DataPacket({to_client.back()});
        pnum = TK2Header::PeekPNum(packet);  // sent unencrypted in the header
        h.FromDevice(std::move(packet));
      } else {
        h.FromDevice(h.sim->Build(DataPackage, pfEncrypted | pfWorkingKey | pfSync | pfAckRequest,
                                  to_client.back(), *pnum));
      }
      if (h.RunUntil([&] { return Contains(h.sim->DataAcks(), *pnum); }, 25)) break;
    }
    ASSERT_TRUE(Contains(h.sim->DataAcks(), *pnum)) << i;
  }
  std::vector<Bytes> delivered;
  for (const auto& record : h.Delivered()) delivered.push_back(record.message->Data);
  EXPECT_EQ(delivered, to_client);

  // Disabling sends the logical disconnect first; the caller waits for it.
  h.to_device_faults = {};
  h.to_service_faults = {};
  std::atomic<bool> disabled{false};
  std::thread api([&] {
    h.device->SetEnabled(false);
    disabled = true;
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!disabled && std::chrono::steady_clock::now() < deadline) {
    h.Step(1);
    std::this_thread::yield();
  }
  api.join();
  h.Step();  // the trace of the packet sent last follows on the next tick
  EXPECT_TRUE(h.sim->DisconnectReceived());
  EXPECT_FALSE(h.device->Connected);
  EXPECT_EQ(h.StateCodes().back(), kStateDisconnected);
  ASSERT_FALSE(h.Traces("- > разрыв логического соединения с прибором").empty());
}

TEST(LossyLine, SilenceLongerThanTheConnectTimeOutDropsTheConnection) {
  EngineHarness h;
  ASSERT_TRUE(h.Connect());
  h.hold_line = true;
  const std::int64_t last_rx = h.device->LastRxTime;
  ASSERT_TRUE(h.RunUntil([&] { return !h.device->Connected; }, 1000, 100));
  EXPECT_GT(h.Now() - last_rx, h.device->ConnectTimeOut * 1000);
  EXPECT_LE(h.Now() - last_rx, h.device->ConnectTimeOut * 1000 + 100);
  EXPECT_EQ(h.StateCodes(), (std::vector<std::uint16_t>{kStateConnected, kStateDisconnected}));

  // The key exchange starts over and connects again once the line works.
  h.hold_line = false;
  EXPECT_TRUE(h.RunUntil([&] { return h.device->Connected.load(); }, 1000, 100));
}

}  // namespace
}  // namespace kavor2::device
