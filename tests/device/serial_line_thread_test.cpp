// The serial line thread's schedule: the strides of both weight sets, the
// order of work kinds, the switch to the search weights while a search runs,
// and the passes of a line against the bus simulator behind a port that does
// not wait. The thread is never started; the tests run its passes.
#include "device/low_level_com_thread.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "device/device_bus_address.h"
#include "device/devices.h"
#include "device/fixed_keys.h"
#include "device/kavor_session.h"
#include "k2sim/k2sim_bus.h"
#include "line_fixture.h"

namespace kavor2::device {
namespace {

using serial::Bytes;
using serial::ByteView;

const std::vector<std::size_t> kNormalOrder = {0, 0, 1, 2, 0, 0, 0, 1, 2, 3, 0, 0, 1, 2, 0, 0, 0, 1, 2, 3};

TEST(StrideScheduler, StridesOfBothWeightSetsAndTheOrderOfKinds) {
  TStrideScheduler normal;
  EXPECT_EQ(normal.Strides(), (TStrideScheduler::Values{100, 252, 252, 504}));
  EXPECT_EQ(normal.Pass(), normal.Strides());
  TStrideScheduler search(TStrideScheduler::kSearchWeights);
  EXPECT_EQ(search.Strides(), (TStrideScheduler::Values{2849, 5699, 1709, 17098}));

  std::vector<std::size_t> order;
  for (int i = 0; i < 20; ++i) {
    order.push_back(normal.Choose());
    normal.Consume(order.back());
  }
  EXPECT_EQ(order, kNormalOrder);

  // With the search weights discovery gets about half of the passes.
  std::array<int, 4> counts{};
  for (int i = 0; i < 200; ++i) {
    const std::size_t k = search.Choose();
    ++counts[k];
    search.Consume(k);
  }
  EXPECT_NEAR(counts[2], 100, 3);
  EXPECT_NEAR(counts[0], 60, 3);
}

// A port whose writes go to the bus simulator and whose reads return what it
// answered, without waiting.
class BusPort final : public ISerialPort {
 public:
  BusPort(k2sim::TSimBus& bus, Bytes& written) : bus_(bus), written_(written) {}
  void Apply(const TSerialSettings&) override {}
  std::optional<std::size_t> Read(std::span<std::uint8_t> into, std::chrono::milliseconds) override {
    std::size_t n = 0;
    while (n < into.size() && n < input_.size()) {
      into[n] = input_[n];
      ++n;
    }
    input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
  }
  std::optional<std::size_t> Write(std::span<const std::uint8_t> bytes) override {
    written_.insert(written_.end(), bytes.begin(), bytes.end());
    const Bytes answer = bus_.Feed(bytes);
    input_.insert(input_.end(), answer.begin(), answer.end());
    return bytes.size();
  }
  void Purge() override { input_.clear(); }
  int LastSystemError() const override { return 0; }

 private:
  k2sim::TSimBus& bus_;
  Bytes& written_;
  Bytes input_;
};

class SerialLineThread : public ::testing::Test {
 protected:
  SerialLineThread() {
    TSessionEnvironment environment = test::LoopbackLineEnvironment();
    environment.Threads = {};
    environment.SerialPorts = [this](const std::string&) -> std::unique_ptr<ISerialPort> {
      return std::make_unique<BusPort>(bus_, written_);
    };
    session_ = std::make_unique<TKavorSession>(service_.Loop(), environment);
    line_ = session_->Lines().AddLine(ltSerial);
    EXPECT_TRUE(line_->ComComm()->Open());
    thread_ = std::make_unique<TLowLevelComThread>(*line_, *line_->ComComm());
  }
  ~SerialLineThread() override {
    thread_.reset();
    session_.reset();
  }

  test::ServiceThread service_;
  k2sim::TSimBus bus_;
  Bytes written_;
  std::unique_ptr<TKavorSession> session_;
  std::shared_ptr<TLine> line_;
  std::unique_ptr<TLowLevelComThread> thread_;
};

TEST_F(SerialLineThread, WithoutAutoAddAndWithoutDevicesTheBusStaysSilent) {
  bus_.Add({{0x01, 0x02, 0x03, 0x04, 0x05, 0x06}});
  for (int i = 0; i < 20; ++i) EXPECT_EQ(thread_->Step(), TLowLevelComThread::wkDiscover);
  EXPECT_TRUE(written_.empty());
  EXPECT_EQ(session_->Devices().Count(), 0U);
}

TEST_F(SerialLineThread, TwentyPassesFollowTheStrideOrderAndSendsServeTheQueuedDevice) {
  const DeviceId a = {0x0A, 0, 0, 0, 0, 1};
  const DeviceId b = {0x0B, 0, 0, 0, 0, 1};
  bus_.Add({a});
  bus_.Add({b});
  std::vector<std::shared_ptr<TDevice>> devices;
  for (const DeviceId& id : {a, b}) {
    devices.push_back(session_->Devices().AddSerialDevice(line_->ID, id, 0, true, DefaultKey));
    TDeviceBusAddress bus(*devices.back());
    ASSERT_TRUE(line_->ComComm()->Connect(&bus));
  }
  // Four sends come in twenty passes; three packets wait for device b.
  for (int i = 0; i < 3; ++i) {
    auto packet = std::make_shared<TK2Message>();
    packet->DataFlag = true;
    packet->Data = serial::BuildLengthFrame(Bytes{0x11, static_cast<std::uint8_t>(i)});
    ASSERT_TRUE(devices[1]->PushWire(packet));
  }
  std::vector<std::size_t> kinds;
  for (int i = 0; i < 20; ++i) kinds.push_back(thread_->Step());
  EXPECT_EQ(kinds, kNormalOrder);
  EXPECT_TRUE(devices[1]->WireQueueEmpty());
  EXPECT_EQ(devices[1]->TxToggle, serial::kToggleB);  // three frames taken: A, B, A
  EXPECT_EQ(devices[0]->TxToggle, serial::kToggleA);  // nothing sent to a
  EXPECT_TRUE(devices[0]->Linked && devices[1]->Linked);
}

TEST_F(SerialLineThread, TheSearchSwitchesToSearchWeightsAndBackAndAddsWhatItFinds) {
  const DeviceId found = {0x34, 0x12, 0, 0, 0, 0x20};
  bus_.Add({found});
  line_->AutoAddDevice = true;
  // Devices of the line use addresses 1 and 2: the found one gets 3.
  session_->Devices().AddSerialDevice(line_->ID, {0x01, 0, 0, 0, 0, 0}, 1, true, DefaultKey);
  session_->Devices().AddSerialDevice(line_->ID, {0x02, 0, 0, 0, 0, 0}, 2, true, DefaultKey);

  bool saw_search_weights = false;
  std::shared_ptr<TDevice> device;
  for (int i = 0; i < 2000 && !device; ++i) {
    thread_->Step();
    if (thread_->Scheduler().Strides() == TStrideScheduler::Values{2849, 5699, 1709, 17098}) {
      saw_search_weights = true;
      EXPECT_EQ(line_->ComComm()->SearchMode(), 1);
    }
    device = session_->FindDeviceOnLine(line_->ID, found);
  }
  ASSERT_NE(device, nullptr);
  EXPECT_TRUE(saw_search_weights);
  // Found, added by the line (not by a client), linked at its new address.
  EXPECT_FALSE(device->AddedByClient);
  EXPECT_EQ(device->ShortAddr, 3);
  EXPECT_TRUE(device->Linked);
  EXPECT_EQ(bus_.Devices()[0]->ShortAddr(), 3);
  // The search is over: normal weights again, with fresh pass values.
  EXPECT_EQ(line_->ComComm()->SearchMode(), 0);
  EXPECT_EQ(thread_->Scheduler().Strides(), (TStrideScheduler::Values{100, 252, 252, 504}));
  EXPECT_EQ(thread_->Scheduler().Pass(), thread_->Scheduler().Strides());
}

TEST_F(SerialLineThread, TheAddressScanFindsADeviceOnceAndMovesItToTheLowestFreeAddress) {
  // A device that has address 5 from before, which the line does not know.
  const DeviceId id = {0x55, 0, 0, 0, 0, 0x30};
  bus_.Add({id});
  line_->AutoAddDevice = true;
  TComKavor& com = *line_->ComComm();
  auto stranger = session_->Devices().AddSerialDevice(line_->ID, id, 5, true, DefaultKey);
  TDeviceBusAddress bus(*stranger);
  ASSERT_TRUE(com.Connect(&bus));
  session_->Devices().DeleteDevice(stranger);
  ASSERT_EQ(bus_.Devices()[0]->ShortAddr(), 5);

  std::shared_ptr<TDevice> device;
  for (int i = 0; i < 4000 && !thread_->ScanFinished(); ++i) {
    thread_->Step();
    if (!device) device = session_->FindDeviceOnLine(line_->ID, id);
  }
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->ShortAddr, 1);
  EXPECT_EQ(bus_.Devices()[0]->ShortAddr(), 1);
  EXPECT_TRUE(thread_->ScanFinished());
  EXPECT_EQ(session_->Devices().CountOnLine(line_->ID), 1U);
}

}  // namespace
}  // namespace kavor2::device
