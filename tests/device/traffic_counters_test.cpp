// The traffic counters of a device and of its line, at the points where the
// engine meets what they count: refused packets, resends, the connection
// made and lost.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "device/crc.h"
#include "engine_harness.h"
#include "test_bytes.h"

namespace kavor2::device {
namespace {

using test::EngineHarness;
using test::Hex;

class TrafficCounters : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(h.Connect()); }

  TTrafficCounts Device() const { return h.device->Counters.Read(); }
  TTrafficCounts Line() const { return h.line->counters->Read(); }

  // Data packets handed to the line.
  std::size_t SentData() const {
    std::size_t n = 0;
    for (const auto& m : h.sent) n += TK2Header::PeekDType(m->Data) == DataPackage ? 1 : 0;
    return n;
  }

  EngineHarness h;
};

TEST_F(TrafficCounters, TheKeyExchangeCountsOneConnectAndThePacketsBothWays) {
  const TTrafficCounts device = Device();
  EXPECT_EQ(device.Connects, 1u);
  EXPECT_EQ(device.Disconnects, 0u);
  EXPECT_EQ(device.PacketsOut, h.sent.size()) << "every packet the device handed to the line";
  EXPECT_GT(device.PacketsIn, 0u);
  EXPECT_EQ(device.CrcErrors + device.AuthErrors + device.Retransmissions, 0u);

  const TTrafficCounts line = Line();
  EXPECT_EQ(line.Connects, 1u);
  // The line counts its packets itself, at the wire, which this one has not.
  EXPECT_EQ(line.PacketsIn + line.PacketsOut, 0u);
}

TEST_F(TrafficCounters, RefusedPacketsCountByWhatRefusedThem) {
  struct Case {
    const char* name;
    std::function<std::vector<std::uint8_t>()> packet;
    std::uint64_t crc;
    std::uint64_t auth;
  };
  // A data packet whose authentication code is wrong but whose CRC is right.
  const auto forged_auth = [&] {
    auto p = h.sim->Build(DataPackage, pfEncrypted | pfWorkingKey | pfAckRequest, Hex("03 01 02"), 5);
    p[p.size() - kCrcSize - 1] ^= 0x10;
    p.resize(p.size() - kCrcSize);
    const std::uint16_t crc = Crc16(p);
    p.push_back(static_cast<std::uint8_t>(crc));
    p.push_back(static_cast<std::uint8_t>(crc >> 8));
    return p;
  };
  const std::vector<Case> cases = {
      {"a flipped CRC bit", [&] { auto p = h.sim->DataPacket({Hex("02 09")}); p.back() ^= 0x01; return p; }, 1, 0},
      {"a flipped payload bit", [&] { auto p = h.sim->DataPacket({Hex("02 09")}); p[6] ^= 0x80; return p; }, 1, 0},
      {"a wrong authentication code", forged_auth, 0, 1},
      {"a wrong length", [&] { auto p = h.sim->DataPacket({Hex("02 09")}); p.pop_back(); return p; }, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TTrafficCounts device_before = Device();
    const TTrafficCounts line_before = Line();
    h.device->Receive(test::Packet(c.packet()));
    const TTrafficCounts device = Device();
    const TTrafficCounts line = Line();
    EXPECT_EQ(device.PacketsIn, device_before.PacketsIn + 1);
    EXPECT_EQ(device.CrcErrors, device_before.CrcErrors + c.crc);
    EXPECT_EQ(device.AuthErrors, device_before.AuthErrors + c.auth);
    EXPECT_EQ(line.CrcErrors, line_before.CrcErrors + c.crc);
    EXPECT_EQ(line.AuthErrors, line_before.AuthErrors + c.auth);
    EXPECT_EQ(line.PacketsIn, line_before.PacketsIn) << "the device's packets count for the line at the wire";
  }
}

TEST_F(TrafficCounters, ADisabledDeviceCountsAPacketWithABadCrc) {
  auto packet = h.sim->DataPacket({Hex("02 09")});
  packet.back() ^= 0x01;
  h.device->Reset();
  h.device->RejectDisabled(test::Packet(packet));
  EXPECT_EQ(Device().CrcErrors, 1u);
  EXPECT_EQ(Line().CrcErrors, 1u);
}

TEST_F(TrafficCounters, AnUnacknowledgedDataPacketCountsEachResend) {
  h.hold_line = true;
  ASSERT_TRUE(h.device->SubmitData(Hex("02 01")));
  ASSERT_TRUE(h.RunUntil([&] { return SentData() == 1; }, 50, 1));
  EXPECT_EQ(Device().Retransmissions, 0u);
  h.Step(1);  // the packet's time stamp
  h.Step(h.device->CommandTimeOut + 1);
  ASSERT_TRUE(h.RunUntil([&] { return SentData() == 2; }, 5, 1));
  EXPECT_EQ(Device().Retransmissions, 1u);
  h.Step(1);
  h.Step(h.device->CommandTimeOut + 1);
  ASSERT_TRUE(h.RunUntil([&] { return SentData() == 3; }, 5, 1));
  EXPECT_EQ(Device().Retransmissions, 2u);
  EXPECT_EQ(Line().Retransmissions, 2u);

  // Acknowledged at last: no more resends.
  h.hold_line = false;
  ASSERT_TRUE(h.RunUntil([&] { return h.Idle() && h.sim->DataFrames().size() == 1; }));
  const std::uint64_t settled = Device().Retransmissions;
  for (int i = 0; i < 10; ++i) h.Step(500);
  EXPECT_EQ(Device().Retransmissions, settled);
}

TEST_F(TrafficCounters, AnUnacknowledgedStatusWordIsARetransmission) {
  h.hold_line = true;
  const std::size_t before = h.sent.size();
  h.Step(h.device->LiveMessageTimeOut * 1000 + 1);
  ASSERT_TRUE(h.RunUntil([&] { return h.sent.size() > before; }, 5, 1));
  EXPECT_EQ(Device().Retransmissions, 0u) << "the first status word is no resend";
  const std::size_t first = h.sent.size();
  ASSERT_TRUE(h.RunUntil([&] { return h.sent.size() > first; }, 3000, 1));
  EXPECT_EQ(Device().Retransmissions, 1u);
}

TEST_F(TrafficCounters, ALostConnectionCountsOneDisconnectAndTheNextConnect) {
  h.hold_line = true;  // the device falls silent
  h.Step(h.device->ConnectTimeOut * 1000 + 1);
  h.Step();
  ASSERT_FALSE(h.device->Connected);
  EXPECT_EQ(Device().Disconnects, 1u);
  EXPECT_EQ(Line().Disconnects, 1u);
  h.device->Reset();  // not connected any more: nothing to count
  EXPECT_EQ(Device().Disconnects, 1u);

  h.hold_line = false;
  ASSERT_TRUE(h.RunUntil([&] { return h.device->Connected.load(); }));
  EXPECT_EQ(Device().Connects, 2u);
  EXPECT_EQ(Line().Connects, 2u);
}

}  // namespace
}  // namespace kavor2::device
