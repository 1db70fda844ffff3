#include "device/device.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/devices.h"
#include "device/fixed_keys.h"
#include "device_fakes.h"
#include "platform/errors.h"
#include "platform/text.h"
#include "test_bytes.h"

namespace kavor2::device {
namespace {

using test::Hex;
using test::HexArray;

const DeviceId kId = HexArray<6>("01 02 03 04 05 06");
constexpr const char* kIdText = "060504030201";

class Device : public ::testing::Test {
 protected:
  Device() {
    line = lines.Add(0, true);
    device = devices.AddEthernetDevice(0, kId, "", true, true, 0, "", true, DefaultKey);
  }

  // A device as the engine leaves it once connected.
  void Connect() {
    std::lock_guard engine(device->EngineLock);
    device->Enabled = true;
    device->Connected = true;
  }

  test::FakeLines lines;
  std::shared_ptr<test::FakeLine> line;
  test::RecordingEvents events;
  TDevices devices{lines, &events, test::FixedClock()};
  std::shared_ptr<TDevice> device;
};

TEST_F(Device, ConstructionState) {
  const auto other = std::make_shared<TDevice>(nullptr, test::FixedClock(777));
  EXPECT_EQ(other->KeyRequestTime, 777);
  EXPECT_EQ(other->Frequency, 1000);
  EXPECT_FALSE(KeyEquals(other->RxWorkKey, device->RxWorkKey));
  EXPECT_FALSE(KeyEquals(other->RxWorkKey, DeviceKey{}));
  EXPECT_EQ(other->ProfileByte(), kInitialProfile);
  EXPECT_EQ(other->Header.PNumOverride, TK2Header::kNoPNumOverride);
  EXPECT_EQ(other->ShortAddr, kNoShortAddr);
  EXPECT_TRUE(other->IdRequestDue);
  EXPECT_TRUE(other->AwaitSync && other->SendSync && other->SendResync);
  EXPECT_EQ(other->RxToggle, 0x20);
  EXPECT_EQ(other->BusStatus, 0x0F);
}

TEST_F(Device, SetIdKeepsThePreviousId) {
  const DeviceId next = HexArray<6>("AA BB CC DD EE FF");
  EXPECT_FALSE(device->SetId(kId));
  EXPECT_TRUE(IdEquals(device->PrevId(), DeviceId{}));
  EXPECT_TRUE(device->SetId(next));
  EXPECT_TRUE(IdEquals(device->PrevId(), kId));
  EXPECT_EQ(device->IdText(), "FFEEDDCCBBAA");
}

TEST_F(Device, MasterKeyTextEnablesAndReleaseUndoes) {
  device->SetMasterKeyText("00112233445566778899aabbccddeeff");
  EXPECT_TRUE(device->Enabled);
  EXPECT_EQ(device->MasterKeyText(), "00112233445566778899AABBCCDDEEFF");

  // A text too long changes nothing.
  device->Release();
  EXPECT_THROW(device->SetMasterKeyText(std::string(33, '1')), platform::RangeError);
  EXPECT_FALSE(device->Enabled);

  device->SetMasterKeyText("12");
  device->Release();
  EXPECT_FALSE(device->Enabled);
  EXPECT_EQ(device->MasterKeyText(), KeyToText(DefaultKey));
}

TEST_F(Device, SetProfileMarksAChangeOnlyWhenConnected) {
  device->SetGetEvent(true);
  EXPECT_EQ(device->ProfileByte(), kInitialProfile | kProfileGetEvent);
  EXPECT_TRUE(device->GetEvent());
  EXPECT_FALSE(device->ProfileChanged);

  Connect();
  device->SetProfile(device->ProfileByte());
  EXPECT_FALSE(device->ProfileChanged);
  device->SetGetCmd(true);
  EXPECT_TRUE(device->GetCmd());
  EXPECT_TRUE(device->ProfileChanged);
  EXPECT_EQ(device->Profile(), kInitialProfile | kProfileGetEvent | kProfileGetCmd);
}

TEST_F(Device, ResetDropsTheConnectionAndItsTraffic) {
  Connect();
  {
    std::lock_guard engine(device->EngineLock);
    device->TxWorkKey = HexArray<16>("01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10");
    device->TxDataPNum = 7;
    device->TxWorkCounter = 99;
    device->KeyExchangeState = 4;
    device->MasterCounterKnown = true;
    device->PeerFramesPerPacket = 3;
    device->IdExchange = ieIdSent | ieIdReceived;
    device->IdRequestDue = false;
  }
  for (std::size_t i = 0; i < kSendQueueCount; ++i) device->Enqueue(std::make_shared<TK2Message>(), i);
  device->PushReceived(std::make_shared<TK2Message>());
  device->PushWire(std::make_shared<TK2Message>());
  device->SubmitData({1, 2});
  device->ReportRoute(Hex("07 01 09 02 11 00 01"));

  device->Reset();

  ASSERT_EQ(events.States().size(), 2u);  // the new sub-device, then the disconnect
  const auto lost = events.States()[1];
  EXPECT_EQ(lost.code, kStateDisconnected);
  EXPECT_EQ(lost.record.Kind, kStateKindDevice);
  EXPECT_EQ(lost.record.Subject, kIdText);
  EXPECT_EQ(lost.record.Value, 0);
  EXPECT_EQ(lost.record.DeviceText, "");

  EXPECT_FALSE(device->Connected);
  for (const auto& queue : device->SendQueues) EXPECT_TRUE(queue.IsEmpty());
  EXPECT_TRUE(device->InQueueEmpty() && device->WireQueueEmpty() && device->DataQueueEmpty());
  EXPECT_TRUE(device->SubDeviceList().empty());
  EXPECT_TRUE(KeyEquals(device->RxWorkKey, DefaultKey));
  EXPECT_EQ(device->KeyExchangeState, 0);
  EXPECT_FALSE(device->MasterCounterKnown);
  EXPECT_EQ(device->PeerFramesPerPacket, 1);
  EXPECT_EQ(device->LastSentQueue, kNoSendQueue);
  EXPECT_EQ(device->IdExchange, 0);
  EXPECT_TRUE(device->IdRequestDue);
  // What survives.
  EXPECT_EQ(device->TxDataPNum, 7);
  EXPECT_EQ(device->TxWorkCounter, 99u);
  EXPECT_EQ(device->TxWorkKey[0], 0x01);

  // A second reset of a disconnected device posts nothing.
  device->Reset();
  EXPECT_EQ(events.States().size(), 2u);
}

TEST_F(Device, DisablingADisconnectedDeviceQueuesNothing) {
  device->SetEnabled(true);
  device->PushReceived(std::make_shared<TK2Message>());
  const auto start = std::chrono::steady_clock::now();
  device->SetEnabled(false);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  for (const auto& queue : device->SendQueues) EXPECT_TRUE(queue.IsEmpty());
  EXPECT_TRUE(device->InQueueEmpty());  // the change of value reset the device
  EXPECT_TRUE(events.States().empty());
}

// Disabling a connected device: queued traffic is dropped, the logical
// disconnect goes out through send queue 13 and the wire, and the call
// returns once it has left.
TEST_F(Device, DisablingAConnectedDeviceSendsTheLogicalDisconnect) {
  Connect();
  device->Enqueue(std::make_shared<TK2Message>(), sqData);
  device->Enqueue(std::make_shared<TK2Message>(), sqStatusWord);

  std::atomic<bool> stop{false};
  std::vector<TK2MessagePtr> sent;
  // The tick moves send queue 13 to the wire; the line takes the wire.
  std::thread line_threads([&] {
    while (!stop.load()) {
      {
        std::lock_guard engine(device->EngineLock);
        if (device->WireQueueEmpty()) {
          if (TK2MessagePtr m = device->SendQueues[sqService].TryPopFront()) device->PushWire(m);
        }
      }
      if (auto peeked = device->PeekWire()) {
        if (TK2MessagePtr m = device->PopWire(peeked)) sent.push_back(m);
      }
    }
  });
  device->SetEnabled(false);
  stop = true;
  line_threads.join();

  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0]->Data, Hex("03 01 05"));
  EXPECT_EQ(sent[0]->DType, ServicePackage);
  EXPECT_EQ(sent[0]->Flags, pfEncrypted | pfWorkingKey | pfSync | pfSenderAddress | pfReceiverAddress);
  EXPECT_EQ(sent[0]->TraceText, platform::Utf8ToCp1251("- > разрыв логического соединения с прибором"));
  EXPECT_FALSE(device->Enabled);
  EXPECT_FALSE(device->Connected);
  ASSERT_EQ(events.States().size(), 1u);
  EXPECT_EQ(events.States()[0].code, kStateDisconnected);
}

TEST_F(Device, DisablingAConnectedDeviceThatNobodyTicksGivesUpInTime) {
  Connect();
  const auto start = std::chrono::steady_clock::now();
  device->SetEnabled(false);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, TDevice::kDisconnectWait);
  EXPECT_LT(took, TDevice::kDisconnectWait + std::chrono::seconds(2));
  EXPECT_FALSE(device->Connected);
  EXPECT_TRUE(device->SendQueues[sqService].IsEmpty());
}

TEST_F(Device, SubmissionsAndTheSendQueuesTheyUse) {
  EXPECT_TRUE(device->SubmitData(Hex("0A 0B")));
  const TK2MessagePtr data = device->PopData();
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data->Data, Hex("0A 0B"));
  EXPECT_EQ(data->Plain, Hex("0A 0B"));
  EXPECT_EQ(data->Queue, hqData);
  EXPECT_EQ(data->Device.lock(), device);

  // Service submissions queue whether or not the device is connected.
  const TK2PacketFlags addresses = pfSenderAddress | pfReceiverAddress;
  struct Case {
    bool encrypted;
    std::size_t queue;
    TK2PacketFlags flags;
  };
  for (const Case c : {Case{true, sqService, addresses | pfEncrypted | pfWorkingKey},
                       Case{false, sqPlainService, addresses}}) {
    SCOPED_TRACE(c.encrypted);
    EXPECT_TRUE(device->SubmitService(Hex("05 04 01 02 03"), c.encrypted));
    for (std::size_t i = 0; i < kSendQueueCount; ++i) {
      EXPECT_EQ(device->SendQueues[i].Count(), i == c.queue ? 1u : 0u) << i;
    }
    const TK2MessagePtr m = device->SendQueues[c.queue].PopFront();
    EXPECT_EQ(m->DType, ServicePackage);
    EXPECT_EQ(m->Flags, c.flags);
    EXPECT_EQ(m->Data, Hex("05 04 01 02 03"));
    EXPECT_EQ(m->Plain, m->Data);
    EXPECT_EQ(m->TraceText, platform::Utf8ToCp1251("- > сервисном поток :"));
  }

  // Each index is its own queue.
  for (std::size_t i = 0; i < kSendQueueCount; ++i) {
    auto m = std::make_shared<TK2Message>();
    m->PNum = static_cast<std::uint8_t>(i);
    device->Enqueue(m, i);
  }
  for (std::size_t i = 0; i < kSendQueueCount; ++i) EXPECT_EQ(device->SendQueues[i].PopFront()->PNum, i);
  EXPECT_THROW(device->Enqueue(std::make_shared<TK2Message>(), kSendQueueCount), platform::RangeError);
}

TEST_F(Device, SerialDevicesSendNoAddresses) {
  lines.Add(3, false);
  const auto serial = devices.AddSerialDevice(3, kId, 0, true, DefaultKey);
  serial->SubmitService(Hex("01"), true);
  EXPECT_EQ(serial->SendQueues[sqService].PopFront()->Flags, pfEncrypted | pfWorkingKey);
}

TEST_F(Device, HandOverQueuesMarkTheirMessages) {
  auto received = std::make_shared<TK2Message>();
  device->PushReceived(received);
  EXPECT_EQ(received->Queue, hqIn);
  EXPECT_EQ(device->PopReceived(), received);
  EXPECT_EQ(device->PopReceived(), nullptr);

  auto built = std::make_shared<TK2Message>();
  device->PushWire(built);
  EXPECT_EQ(built->Queue, hqWire);
  EXPECT_EQ(device->PeekWire(), built);
  EXPECT_EQ(device->PopWire(), built);

  // A message that outlives its device does not keep it, nor dangle.
  std::weak_ptr<TDevice> watch = device;
  devices.DeleteDevice(device);
  device.reset();
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(received->Device.lock(), nullptr);
}

TEST_F(Device, PostedDataIsStamped) {
  auto trace = std::make_shared<TK2Message>();
  trace->TraceText = "x";
  device->PostDeviceData(3, trace);
  const auto records = events.DataRecords();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].kind, 3);
  EXPECT_EQ(records[0].message->TimeText, "05.03.24 14:07:09 042");
  EXPECT_EQ(records[0].message->DeviceText, kIdText);
  EXPECT_EQ(records[0].message->Device.lock(), device);
}

// ---- Sub-devices --------------------------------------------------------------

TEST_F(Device, RouteReportsBuildTheSubDeviceList) {
  struct Step {
    const char* frame;
    int code;  // -1: nothing posted
    const char* subject;
    std::uint8_t state;
  };
  const Step steps[] = {
      {"0C 01 09 01 11 22 33 44 55 66 00 00", kStateSubDeviceNew, "665544332211", 0},
      {"0C 01 09 01 11 22 33 44 55 66 00 01", kStateSubDeviceOn, "665544332211", 1},
      {"0C 01 09 01 11 22 33 44 55 66 00 02", -1, "665544332211", 2},
      {"0C 01 09 01 11 22 33 44 55 66 00 00", kStateSubDeviceOff, "665544332211", 0},
      // Differs in the last address byte only: another sub-device.
      {"0C 01 09 01 11 22 33 44 55 67 00 01", kStateSubDeviceNew, "675544332211", 1},
      {"07 01 09 02 7F 00 01", kStateSubDeviceNew, "00000000007F", 1},
      {"08 01 09 03 34 12 00 01", kStateSubDeviceNew, "000000001234", 1},
      // The same bytes under another type are another sub-device.
      {"08 01 09 03 7F 00 00 01", kStateSubDeviceNew, "00000000007F", 1},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.frame);
    events.ClearAll();
    device->ReportRoute(Hex(step.frame));
    const auto states = events.States();
    if (step.code < 0) {
      EXPECT_TRUE(states.empty());
    } else {
      ASSERT_EQ(states.size(), 1u);
      EXPECT_EQ(states[0].code, step.code);
      EXPECT_EQ(states[0].record.Kind, kStateKindSubDevice);
      EXPECT_EQ(states[0].record.DeviceText, kIdText);
      EXPECT_EQ(states[0].record.DeviceType, Hex(step.frame)[3]);
      EXPECT_EQ(states[0].record.Subject, step.subject);
      EXPECT_EQ(states[0].record.Value, step.state);
    }
  }
  const auto list = device->SubDeviceList();
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(list[0].State, 0);
  EXPECT_EQ(list[1].ID(), "675544332211");
  EXPECT_EQ(device->FindSubDeviceByText("000000001234")->DeviceType, atTwoByte);
  EXPECT_FALSE(device->FindSubDeviceByText("00000000001234").has_value());
}

TEST_F(Device, ShortRouteReportsChangeNothing) {
  for (const char* frame : {"0C 01 09 01 11 22 33 44 55 66 00", "05 01 09 02 7F", "03 01 09"}) {
    device->ReportRoute(Hex(frame));
  }
  EXPECT_TRUE(device->SubDeviceList().empty());
  EXPECT_TRUE(events.States().empty());
}

TEST_F(Device, SubDeviceListHoldsAtMost256) {
  for (int n = 0; n <= static_cast<int>(TSubDevices::kMaxSubDevices); ++n) {
    std::vector<std::uint8_t> frame = Hex("08 01 09 03 00 00 00 01");
    frame[4] = static_cast<std::uint8_t>(n);
    frame[5] = static_cast<std::uint8_t>(n >> 8);
    device->ReportRoute(frame);
  }
  EXPECT_EQ(device->SubDeviceList().size(), TSubDevices::kMaxSubDevices);
  EXPECT_EQ(events.States().size(), TSubDevices::kMaxSubDevices);
  TSubDevices list;
  EXPECT_THROW(list.Items(0), platform::RangeError);
}

TEST_F(Device, RequestSubDevicesEmptiesTheListAndAsksForEveryRoute) {
  device->ReportRoute(Hex("07 01 09 02 7F 00 01"));
  device->RequestSubDevices();
  EXPECT_TRUE(device->SubDeviceList().empty());
  const TK2MessagePtr request = device->SendQueues[sqService].PopFront();
  EXPECT_EQ(request->Data, Hex("04 01 08 00"));
  EXPECT_EQ(request->DType, ServicePackage);
  EXPECT_EQ(request->Flags, pfEncrypted | pfWorkingKey | pfAckRequest | pfSenderAddress | pfReceiverAddress);
  EXPECT_EQ(request->TraceText, platform::Utf8ToCp1251("- > запрос маршрутов ( тип : 0 ) "));

  // After the request a known route arrives as new.
  events.ClearAll();
  device->ReportRoute(Hex("07 01 09 02 7F 00 01"));
  ASSERT_EQ(events.States().size(), 1u);
  EXPECT_EQ(events.States()[0].code, kStateSubDeviceNew);

  device->QueueRoutesRequest(atOneByte, HexArray<6>("7F 00 00 00 00 00"));
  const TK2MessagePtr one = device->SendQueues[sqService].PopFront();
  EXPECT_EQ(one->Data, Hex("05 01 08 02 7F"));
  EXPECT_EQ(one->Flags & pfAckRequest, 0);
}

// Route reports on the line's thread while an API thread reads and
// re-requests the list.
TEST_F(Device, SubDeviceListUnderConcurrentReportsAndReaders) {
  std::atomic<bool> done{false};
  std::thread reporter([&] {
    for (int n = 0; n < 2000; ++n) {
      std::vector<std::uint8_t> frame = Hex("07 01 09 02 00 00 01");
      frame[4] = static_cast<std::uint8_t>(n);
      device->ReportRoute(frame);
    }
    done = true;
  });
  while (!done.load()) {
    for (const auto& sub : device->SubDeviceList()) (void)sub.ID();
    (void)device->FindSubDeviceByText("00000000007F");
    device->RequestSubDevices();
    device->SendQueues[sqService].Clear();
  }
  reporter.join();
  EXPECT_LE(device->SubDeviceList().size(), TSubDevices::kMaxSubDevices);
}

}  // namespace
}  // namespace kavor2::device
