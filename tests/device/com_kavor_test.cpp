// TComKavor's bus transactions over a port that does not wait: what the
// transport writes goes to a responder (the bus simulator of k2sim, or a
// scripted device), and what that answers is what the next reads return.
#include "device/com_kavor.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "device/serial_bus_device_fake.h"
#include "k2sim/k2sim_bus.h"

namespace kavor2::device {
namespace {

using serial::Bytes;
using serial::ByteView;

struct PortState {
  std::function<Bytes(ByteView written)> responder;
  Bytes written;
  std::deque<std::uint8_t> input;
  int purges = 0;
  int applied = 0;
  TSerialSettings settings;
  std::vector<std::string> opened;
};

class FakePort final : public ISerialPort {
 public:
  explicit FakePort(std::shared_ptr<PortState> state) : state_(std::move(state)) {}
  void Apply(const TSerialSettings& settings) override {
    state_->settings = settings;
    ++state_->applied;
  }
  std::optional<std::size_t> Read(std::span<std::uint8_t> into, std::chrono::milliseconds) override {
    std::size_t n = 0;
    while (n < into.size() && !state_->input.empty()) {
      into[n++] = state_->input.front();
      state_->input.pop_front();
    }
    return n;
  }
  std::optional<std::size_t> Write(std::span<const std::uint8_t> bytes) override {
    state_->written.insert(state_->written.end(), bytes.begin(), bytes.end());
    if (state_->responder) {
      const Bytes answer = state_->responder(bytes);
      state_->input.insert(state_->input.end(), answer.begin(), answer.end());
    }
    return bytes.size();
  }
  void Purge() override {
    state_->input.clear();
    ++state_->purges;
  }
  int LastSystemError() const override { return 0; }

 private:
  std::shared_ptr<PortState> state_;
};

using BusDevice = FakeBusDevice;

constexpr DeviceId kLine = {0x40, 0x00, 0x02, 0x3C, 0x4D, 0x5E};
constexpr DeviceId kDeviceA = {0x21, 0x00, 0x00, 0x00, 0x00, 0x01};
constexpr DeviceId kDeviceB = {0x22, 0x00, 0x00, 0x00, 0x00, 0x01};

class ComKavor : public ::testing::Test {
 protected:
  ComKavor()
      : com_(nullptr, "/tmp/ports", [this](const std::string& path) -> std::unique_ptr<ISerialPort> {
          state_->opened.push_back(path);
          if (path != "/tmp/ports/COM1") return nullptr;
          return std::make_unique<FakePort>(state_);
        }) {
    EXPECT_TRUE(com_.Open());
    com_.SetLineAddress(kLine);
    com_.SetOnReceive([this] {
      const auto bytes = com_.InBuffer().Bytes();
      received_.emplace_back(bytes.begin(), bytes.end());
    });
  }

  // The bus simulator answers every write.
  void UseBus() {
    state_->responder = [this](ByteView written) { return bus_.Feed(written); };
  }
  // A scripted device: it answers when a frame's last byte arrives (the
  // transport writes it alone).
  void Script(std::function<Bytes()> answer) {
    state_->responder = [answer = std::move(answer)](ByteView written) {
      return written.size() == 1 ? answer() : Bytes{};
    };
  }
  // The reply (code and its check byte, chained from the last command) that
  // a scripted device sends.
  Bytes Reply(std::uint8_t code, bool right_check = true) const {
    const std::uint8_t check = serial::ReplyCheck(LastCommandCheck(), code);
    const std::uint8_t reply[] = {code, static_cast<std::uint8_t>(right_check ? check : check ^ 0x01)};
    return serial::Stuff(reply);
  }
  // The check byte of the last command frame written.
  std::uint8_t LastCommandCheck() const {
    const Bytes& w = state_->written;
    std::size_t start = 0;
    for (std::size_t i = 0; i + 1 < w.size(); ++i) {
      if (w[i] == serial::kSync && w[i + 1] == serial::kSync) start = i + 2;
    }
    serial::TUnstuffer u;
    Bytes body;
    u.Feed(ByteView(w).subspan(start), body);
    const std::size_t size = body.empty() ? 0 : (body[0] == serial::kIdAddressMark ? 9 : 3);
    return body.size() >= size && size > 0 ? body[size - 1] : 0;
  }
  // A K2-like packet: a length frame with the K2 CRC.
  static Bytes Packet(std::size_t body_size, std::uint8_t fill) {
    return serial::BuildLengthFrame(Bytes(body_size, fill));
  }

  std::shared_ptr<PortState> state_ = std::make_shared<PortState>();
  k2sim::TSimBus bus_;
  TComKavor com_;
  std::vector<Bytes> received_;
};

TEST_F(ComKavor, PortsByNumberAndTheOpenError) {
  EXPECT_EQ(state_->opened, (std::vector<std::string>{"/tmp/ports/COM1"}));
  EXPECT_EQ(state_->settings.Baud, 115200);
  // The COM port changes only while the port is closed.
  com_.SetComPort(7);
  EXPECT_EQ(com_.ComPort(), 1);
  EXPECT_FALSE(com_.Close());
  com_.SetComPort(7);
  EXPECT_EQ(com_.PortPath(), "/tmp/ports/COM7");
  try {
    com_.Open();
    ADD_FAILURE() << "opened";
  } catch (const ECommError& e) {
    EXPECT_STREQ(e.what(), "/tmp/ports/COM7 not open");
  }
  EXPECT_FALSE(com_.IsOpen());

  // The system's ports: COM N is /dev/ttyS<N-1>; COM 0 has none, and a
  // missing directory gives the same error.
  TComKavor system;
  system.SetComPort(0);
  EXPECT_EQ(system.PortPath(), "/dev/ttyS-1");
  EXPECT_THROW(system.Open(), ECommError);
  TComKavor missing(nullptr, "/nonexistent-k2-dir");
  try {
    missing.Open();
    ADD_FAILURE() << "opened";
  } catch (const ECommError& e) {
    EXPECT_STREQ(e.what(), "/nonexistent-k2-dir/COM1 not open");
  }
}

TEST_F(ComKavor, SpeedIsAppliedToTheOpenPortAtOnce) {
  const int applied = state_->applied;
  com_.SetComPortSpeed(br14400);
  EXPECT_EQ(state_->applied, applied + 1);
  EXPECT_EQ(state_->settings.Baud, 14400);
  com_.SetComPortSpeed(13);  // no such speed: nothing changes
  EXPECT_EQ(com_.ComPortSpeed(), br14400);
  EXPECT_EQ(state_->applied, applied + 1);
}

TEST_F(ComKavor, ConnectQueryAndPollWithTheBusSimulator) {
  bus_.Add({kDeviceA});
  UseBus();
  BusDevice device;
  device.id = kDeviceA;
  device.short_addr = 9;
  device.linked = false;
  device.confirmed = false;
  ASSERT_TRUE(com_.Connect(&device));
  EXPECT_TRUE(device.linked);
  EXPECT_TRUE(device.confirmed);
  EXPECT_EQ(bus_.Devices()[0]->ShortAddr(), 9);
  EXPECT_EQ(bus_.Devices()[0]->LineAddress(), kLine);

  DeviceId id = NoId;
  com_.QueryAddress(9, id);
  EXPECT_EQ(id, kDeviceA);
  com_.QueryAddress(10, id);
  EXPECT_EQ(id, NoId);

  // Nothing to fetch; then a packet with bytes that need stuffing.
  EXPECT_TRUE(com_.Poll(&device));
  EXPECT_TRUE(received_.empty());
  const Bytes packet = Packet(20, 0xFE);
  bus_.Devices()[0]->Queue(packet);
  EXPECT_TRUE(com_.Poll(&device));
  EXPECT_EQ(received_, std::vector<Bytes>{packet});
  EXPECT_EQ(device.rx, serial::kToggleB);
  EXPECT_EQ(bus_.Devices()[0]->Outgoing(), 0U);  // the acknowledge arrived
  EXPECT_EQ(com_.CurrentDevice(), &device);
}

TEST_F(ComKavor, ARepeatedFrameIsAcknowledgedAgainAndNotHandedOn) {
  k2sim::TBusSimConfig config{kDeviceA};
  config.RepeatFirstFrame = true;
  bus_.Add(config);
  UseBus();
  BusDevice device;
  device.id = kDeviceA;
  ASSERT_TRUE(com_.Connect(&device));
  const Bytes first = Packet(6, 0x11);
  const Bytes second = Packet(7, 0x22);
  bus_.Devices()[0]->Queue(first);
  bus_.Devices()[0]->Queue(second);
  ASSERT_TRUE(com_.Poll(&device));  // the device misses this acknowledge
  ASSERT_TRUE(com_.Poll(&device));  // and sends the frame again: acknowledged, dropped
  ASSERT_TRUE(com_.Poll(&device));
  EXPECT_EQ(received_, (std::vector<Bytes>{first, second}));
  EXPECT_EQ(bus_.Devices()[0]->Repeats(), 1U);
}

TEST_F(ComKavor, SendWithTogglesAndTheCapacityRefusal) {
  bus_.Add({kDeviceA});
  UseBus();
  BusDevice device;
  device.id = kDeviceA;
  ASSERT_TRUE(com_.Connect(&device));

  // Capacity 2 (32 bytes): a packet that stuffs to 40 bytes is not sent.
  device.status = 0x02;
  const Bytes big = Packet(31, 0x01);  // 34 bytes ...
  Bytes stuffed_to_40 = big;
  stuffed_to_40[5] = 0xFF;
  stuffed_to_40[6] = 0xFE;
  stuffed_to_40[7] = 0xFF;
  stuffed_to_40[8] = 0xFE;
  stuffed_to_40[9] = 0xFF;
  stuffed_to_40[10] = 0xFE;  // ... plus six escapes
  com_.SetData(stuffed_to_40);
  ASSERT_EQ(serial::Stuff(stuffed_to_40).size(), 40U);
  const std::size_t before = state_->written.size();
  EXPECT_FALSE(com_.DataFits(device));
  EXPECT_FALSE(com_.Send(&device));
  EXPECT_EQ(state_->written.size(), before);  // nothing on the bus
  EXPECT_EQ(device.tx, serial::kToggleA);

  // Room again: it goes, the device takes it, the toggle moves on.
  device.status = 0x0F;
  const Bytes packet = Packet(10, 0xFF);
  com_.SetData(packet);
  ASSERT_TRUE(com_.BeginPacket(&device, true, device.tx));
  ASSERT_TRUE(com_.Send(&device));
  EXPECT_EQ(device.tx, serial::kToggleB);
  // The device's own reply code set the capacity.
  EXPECT_EQ(device.status, 0x0F);

  // A device that expects the other toggle (it restarted): the frame goes
  // again with that toggle and is taken once.
  device.tx = serial::kToggleA;
  com_.SetData(packet);
  ASSERT_TRUE(com_.BeginPacket(&device, true, device.tx));
  ASSERT_TRUE(com_.Send(&device));
  EXPECT_EQ(device.tx, serial::kToggleA);  // B was sent and taken: A is next
}

TEST_F(ComKavor, WrongCheckBytesAndSilenceCostTheLinkInTwoSteps) {
  BusDevice device;
  device.id = kDeviceA;
  // Replies whose check byte chains from another register.
  Script([this] { return Reply(0x6F, false); });
  EXPECT_FALSE(com_.Poll(&device));
  EXPECT_GE(state_->purges, TComKavor::kMaxAttempts);
  EXPECT_TRUE(device.linked);
  EXPECT_FALSE(device.confirmed);
  // Unconfirmed devices are addressed by their ID; a silent one loses the link.
  state_->responder = nullptr;
  EXPECT_FALSE(com_.Poll(&device));
  EXPECT_FALSE(device.linked);
  // A connect with no answer leaves it unlinked; a right answer links it.
  EXPECT_FALSE(com_.Connect(&device));
  EXPECT_FALSE(device.linked);
  Script([this] { return Reply(0x4F); });
  EXPECT_TRUE(com_.Connect(&device));
  EXPECT_TRUE(device.linked && device.confirmed);
}

TEST_F(ComKavor, NoiseAndBrokenFramesNeverHandSomethingOn) {
  BusDevice device;
  device.id = kDeviceA;
  struct Case {
    const char* name;
    std::function<Bytes()> answer;
    bool polled;
  };
  int writes = 0;
  const std::vector<Case> cases = {
      // Noise before the reply of the first attempt; the second is clean.
      {"noise, then a clean reply",
       [&] { return ++writes == 1 ? Bytes{0x13, 0x37, 0xFE} : Reply(0x6F); }, true},
      // A data frame announced, then only part of it, then silence.
      {"a partial frame, then silence", [&] {
         Bytes b = Reply(0x2F);
         b.push_back(0x20);
         b.push_back(0x11);
         return b;
       }, false},
      // A whole frame ending in a lone escape.
      {"an escape at the end", [&] {
         Bytes b = Reply(0x2F);
         b.insert(b.end(), {0x04, 0x01, 0xFE});
         return b;
       }, false},
      // A reply that is not a code of a poll.
      {"a query answer to a poll", [&] { return Reply(0xBF); }, false},
  };
  for (const Case& c : cases) {
    writes = 0;
    device.linked = device.confirmed = true;
    state_->input.clear();
    Script(c.answer);
    EXPECT_EQ(com_.Poll(&device), c.polled) << c.name;
    EXPECT_TRUE(received_.empty()) << c.name;
  }
}

TEST_F(ComKavor, SearchFindsTwoDevicesOneAfterTheOther) {
  bus_.Add({kDeviceB});
  bus_.Add({kDeviceA});
  UseBus();
  com_.SetComPortSpeed(br2400);
  std::vector<DeviceId> found;
  std::vector<int> modes;
  for (int probe = 0; probe < 400 && found.size() < 2; ++probe) {
    DeviceId id = NoId;
    com_.SearchNewDevice(id);
    modes.push_back(com_.SearchMode());
    if (IdEquals(id, NoId)) continue;
    found.push_back(id);
    // Linked: it has an address now and no longer answers probes.
    BusDevice device;
    device.id = id;
    device.short_addr = static_cast<std::uint8_t>(found.size());
    ASSERT_TRUE(com_.Connect(&device));
  }
  // 0x22 before 0x21: bit 0 decides, 0 before 1.
  EXPECT_EQ(found, (std::vector<DeviceId>{kDeviceB, kDeviceA}));
  EXPECT_EQ(modes.front(), 1);
  EXPECT_EQ(com_.SearchMode(), 0);  // each search ends when its device is found
  // Nobody left: one probe, no answer, the search is over at once.
  DeviceId id = NoId;
  com_.SearchNewDevice(id);
  EXPECT_EQ(id, NoId);
  EXPECT_EQ(com_.SearchMode(), 0);
  EXPECT_EQ(com_.PreviousSearchMode(), 0);
  // The longer wait of the search at 2400 baud stays in force.
  EXPECT_EQ(com_.ReadTimeOut(), std::chrono::milliseconds(67));
}

}  // namespace
}  // namespace kavor2::device
