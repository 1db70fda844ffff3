// A serial line end to end over a pseudo-terminal: the session with its real
// line threads opens the pty's slave through its port directory; the bus
// simulator of k2sim plays two devices without short addresses behind the
// master side. The line finds both by the search, links and connects them,
// and data flows both ways.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <functional>
#include <thread>
#include <memory>
#include <string>
#include <vector>

#include "device/devices.h"
#include "device/fixed_keys.h"
#include "device/kavor_session.h"
#include "k2sim/k2sim_pty.h"
#include "line_fixture.h"

namespace kavor2::device {
namespace {

using test::ByteString;
using namespace std::chrono_literals;

constexpr DeviceId kFirstId = {0x10, 0x32, 0x54, 0x76, 0x98, 0x0A};
constexpr DeviceId kSecondId = {0x11, 0x32, 0x54, 0x76, 0x98, 0x0A};
constexpr DeviceKey kKey = {0x0F, 0x1E, 0x2D, 0x3C, 0x4B, 0x5A, 0x69, 0x78,
                            0x87, 0x96, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF0};
constexpr auto kDeadline = 30s;

class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/k2serialXXXXXX";
    path_ = ::mkdtemp(name);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// Polls the condition until it holds or the deadline passes.
bool Eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + kDeadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

ByteString Frame(std::uint8_t n) { return {5, n, static_cast<std::uint8_t>(n + 1), 0xFE, 0xFF}; }

TEST(SerialLineEndToEnd, SearchLinkConnectAndDataBothWays) {
  TempDir dir;
  k2sim::TSimBus bus;
  k2sim::TBusSimConfig first;
  first.Id = kFirstId;
  first.MasterKey = kKey;
  first.Seed = 7;
  // Misses the acknowledge of its first data frame and sends it again.
  first.RepeatFirstFrame = true;
  k2sim::TBusSimConfig second = first;
  second.Id = kSecondId;
  second.Seed = 9;
  second.RepeatFirstFrame = false;
  bus.Add(first);
  bus.Add(second);
  k2sim::TSerialBusRunner runner(dir.Path() + "/COM4", std::move(bus));

  test::ServiceThread service;
  test::SessionRecords records;
  TSessionEnvironment environment = test::LoopbackLineEnvironment();
  environment.ComDir = dir.Path();
  TKavorSession session(service.Loop(), environment);
  records.Wire(session);
  const std::shared_ptr<TLine> line = session.Lines().AddLine(ltSerial);
  TComKavor& com = *line->ComComm();
  com.SetComPort(4);
  ASSERT_TRUE(com.Open());
  line->AutoAddDevice = true;
  session.Lines().StartLine(*line);

  // The search finds both; each is added and linked at once.
  for (const DeviceId& id : {kFirstId, kSecondId}) {
    ASSERT_TRUE(records.WaitForState(kStateDeviceAdded, IdToText(id))) << IdToText(id);
  }
  ASSERT_TRUE(runner.WaitUntil(
      [](k2sim::TSimBus& b) {
        for (const auto& d : b.Devices()) {
          if (!d->ShortAddr()) return false;
        }
        return true;
      },
      kDeadline));
  std::vector<std::shared_ptr<TDevice>> devices;
  for (const DeviceId& id : {kFirstId, kSecondId}) {
    std::shared_ptr<TDevice> device = session.FindDeviceOnLine(line->ID, id);
    ASSERT_NE(device, nullptr);
    EXPECT_FALSE(device->AddedByClient);
    // The device has its address; the line marks the link once it read the answer.
    EXPECT_TRUE(Eventually([&] { return device->Linked.load(); }));
    devices.push_back(device);
  }
  // The lowest ID (read from bit 0) first, with the lowest free address.
  EXPECT_EQ(devices[0]->ShortAddr, 1);
  EXPECT_EQ(devices[1]->ShortAddr, 2);
  runner.WithBus([&](k2sim::TSimBus& b) {
    EXPECT_EQ(b.Devices()[0]->ShortAddr(), 1);
    EXPECT_EQ(b.Devices()[1]->ShortAddr(), 2);
    // The connect carried the line's ID in text order.
    EXPECT_EQ(b.Devices()[0]->LineAddress(), ReverseId(line->OwnId()));
  });

  // A client takes them: the key exchange runs over the bus.
  for (const auto& device : devices) device->SetMasterKeyText(KeyToText(kKey));
  for (const auto& device : devices) {
    ASSERT_TRUE(records.WaitForState(kStateConnected, device->IdText())) << device->IdText();
  }
  ASSERT_TRUE(runner.WaitUntil([](k2sim::TSimBus& b) { return b.Devices()[0]->Connected() && b.Devices()[1]->Connected(); },
                               kDeadline));
  // The status words allowing data have arrived.
  for (const auto& device : devices) {
    ASSERT_TRUE(records.WaitUntil([&] { return (device->ProfileByte() & kProfileDataAllowed) != 0; }));
  }

  // Client data to both devices, frames with bytes that need stuffing.
  const std::vector<ByteString> to_first = {Frame(1), Frame(2), Frame(3)};
  const std::vector<ByteString> to_second = {Frame(0xFE), Frame(0x40)};
  for (const ByteString& f : to_first) ASSERT_TRUE(devices[0]->SubmitData(f));
  for (const ByteString& f : to_second) ASSERT_TRUE(devices[1]->SubmitData(f));
  ASSERT_TRUE(runner.WaitUntil(
      [&](k2sim::TSimBus& b) {
        return b.Devices()[0]->Sim()->DataFrames().size() >= to_first.size() &&
               b.Devices()[1]->Sim()->DataFrames().size() >= to_second.size();
      },
      kDeadline));
  runner.WithBus([&](k2sim::TSimBus& b) {
    EXPECT_EQ(b.Devices()[0]->Sim()->DataFrames(), to_first);
    EXPECT_EQ(b.Devices()[1]->Sim()->DataFrames(), to_second);
    // The first device sent one frame again after it had been acknowledged.
    EXPECT_EQ(b.Devices()[0]->Repeats(), 1U);
  });

  // Device data reaches the host, each frame once.
  const std::vector<ByteString> from_first = {Frame(0x81), Frame(0x82)};
  runner.WithBus([&](k2sim::TSimBus& b) {
    for (const ByteString& f : from_first) b.Devices()[0]->Queue(b.Devices()[0]->Sim()->DataPacket({f}));
    b.Devices()[1]->Queue(b.Devices()[1]->Sim()->DataPacket({Frame(0x91)}));
  });
  ASSERT_TRUE(records.WaitUntil([&] {
    std::size_t delivered = 0;
    for (const auto& r : records.DataLocked()) delivered += r.deliver ? 1 : 0;
    return delivered >= 3;
  }));
  std::vector<ByteString> first_got;
  std::vector<ByteString> second_got;
  for (const auto& r : records.DataRecords()) {
    if (!r.deliver) continue;
    if (r.device_text == devices[0]->IdText()) first_got.push_back(r.data);
    if (r.device_text == devices[1]->IdText()) second_got.push_back(r.data);
  }
  EXPECT_EQ(first_got, from_first);
  EXPECT_EQ(second_got, (std::vector<ByteString>{Frame(0x91)}));

  // The speed changes while the line runs; traffic goes on.
  com.SetComPortSpeed(br57600);
  EXPECT_EQ(com.ComPortSpeed(), br57600);
  ASSERT_TRUE(devices[1]->SubmitData(Frame(0x55)));
  EXPECT_TRUE(runner.WaitUntil([](k2sim::TSimBus& b) { return b.Devices()[1]->Sim()->DataFrames().size() == 3; },
                               kDeadline));

  session.Lines().DeleteLine(0);
  EXPECT_EQ(session.Devices().Count(), 0U);
}

}  // namespace
}  // namespace kavor2::device
