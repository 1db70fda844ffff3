// The tick and the send path of a connected device: data assembly, the
// receipts that release frames, retransmission and resync, the status word,
// negative receipts and the traces of sent packets.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "device/k2_cipher.h"
#include "engine_harness.h"
#include "test_bytes.h"

namespace kavor2::device {
namespace {

using test::Cp;
using test::EngineHarness;
using test::Hex;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kTimeoutResend = "- > повтор по таймауту ";

Bytes Frame(std::size_t size, std::uint8_t fill) {
  Bytes frame(size, fill);
  frame[0] = static_cast<std::uint8_t>(size);
  return frame;
}

k2sim::TSimConfig FramesPerPacket(std::uint8_t frames) {
  k2sim::TSimConfig config = EngineHarness::DefaultSimConfig();
  config.FramesPerPacket = frames;
  return config;
}

class Send : public ::testing::Test {
 protected:
  explicit Send(std::uint8_t frames_per_packet = 1) : h(true, FramesPerPacket(frames_per_packet)) {}
  void SetUp() override {
    ASSERT_TRUE(h.Connect());
    h.events.ClearAll();
    h.sent.clear();
  }

  void QueueFrame(const Bytes& frame) {
    auto message = std::make_shared<TK2Message>();
    message->Data = frame;
    ASSERT_TRUE(h.device->Enqueue(message, sqData));
  }

  // Data packets the service handed to the line.
  std::vector<TK2MessagePtr> SentData() const {
    std::vector<TK2MessagePtr> out;
    for (const auto& m : h.sent) {
      if (TK2Header::PeekDType(m->Data) == DataPackage) out.push_back(m);
    }
    return out;
  }

  // Steps with the line held until a data packet has gone out; returns it.
  TK2MessagePtr SendHeld() {
    const std::size_t before = SentData().size();
    h.hold_line = true;
    const bool sent = h.RunUntil([&] { return SentData().size() > before; }, 50, 1);
    h.hold_line = false;
    return sent ? SentData().back() : nullptr;
  }

  // A receipt from the device for that PNum, with its tags.
  void DeviceReceipt(std::uint8_t type, std::uint8_t pnum, const Bytes& payload) {
    h.FromDevice(h.sim->Receipt(type, pnum, payload));
  }

  EngineHarness h;
};

class SendThreeFrames : public Send {
 protected:
  SendThreeFrames() : Send(3) {}
};

class SendManyFrames : public Send {
 protected:
  SendManyFrames() : Send(255) {}
};

TEST_F(Send, TheSchedulerTakesTheLowestWaitingQueueFirst) {
  // One message in each of the fifteen queues, queued highest index first.
  const auto queue_message = [&](std::size_t index) {
    auto message = std::make_shared<TK2Message>();
    message->DType = ServicePackage;
    message->Flags = h.device->AddressFlags();
    message->Data = {4, 0x04, 0xA0, static_cast<std::uint8_t>(index)};
    message->TraceText = "q" + std::to_string(index);
    if (index == sqData) message->Data = {2, 0xEE};
    ASSERT_TRUE(h.device->Enqueue(message, index));
  };
  // No status word of its own comes between.
  h.device->IsLiveMessage = false;
  for (std::size_t index = kSendQueueCount; index-- > 0;) queue_message(index);
  h.hold_line = true;
  const std::size_t before = h.sent.size();
  // One packet per tick; a message that arrives in a lower queue meanwhile
  // goes before the ones that waited longer.
  h.Step();
  queue_message(sqPlainReceipt);
  h.Step();
  queue_message(sqPlainService);
  for (std::size_t i = 0; i < kSendQueueCount; ++i) h.Step();

  std::vector<std::string> order;
  for (std::size_t i = before; i < h.sent.size(); ++i) order.push_back(h.sent[i]->TraceText);
  std::vector<std::string> expected = {"q0", "q0", "q1", "q1"};
  for (std::size_t index = 2; index < sqData; ++index) expected.push_back("q" + std::to_string(index));
  expected.push_back(Cp("-> команда (1)"));
  EXPECT_EQ(order, expected);
  for (std::size_t index = 0; index < sqData; ++index) EXPECT_TRUE(h.device->SendQueues[index].IsEmpty()) << index;
  EXPECT_EQ(h.device->SendQueues[sqData].Count(), 1u) << "a data frame stays until the device acknowledges it";
}

TEST_F(SendThreeFrames, APacketCarriesWhatThePeerAllowsAndAReceiptReleasesFrames) {
  ASSERT_EQ(h.device->PeerFramesPerPacket, 3) << "learnt from the device's receipts";
  for (std::uint8_t i = 1; i <= 5; ++i) QueueFrame(Bytes{2, i});

  const TK2MessagePtr first = SendHeld();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->TraceText, Cp("-> команда (3)"));
  const std::uint8_t pnum = TK2Header::PeekPNum(first->Data);
  EXPECT_EQ(TK2Header::PeekFlags(first->Data),
            pfEncrypted | pfWorkingKey | pfResync | pfSync | pfAckRequest | kAddressFlags)
      << "the first data packet resynchronises";
  h.Step();
  // The trace of each frame follows once the packet has left.
  const auto traces = h.events.DataRecords();
  std::vector<test::RecordingEvents::Data> frame_traces;
  std::copy_if(traces.begin(), traces.end(), std::back_inserter(frame_traces), [](const auto& r) {
    return r.message->TraceText.rfind(Cp(" - > "), 0) == 0 && r.kind == DataPackage;
  });
  ASSERT_EQ(frame_traces.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(frame_traces[i].message->TraceText, Cp(" - > [ " + std::to_string(i) + " ] "));
    EXPECT_EQ(frame_traces[i].message->PNum, static_cast<std::uint8_t>(pnum + i));
    EXPECT_EQ(frame_traces[i].message->Data, (Bytes{2, static_cast<std::uint8_t>(i + 1)}));
    EXPECT_FALSE(frame_traces[i].message->Deliver);
  }

  // The device took the first two frames.
  DeviceReceipt(DataReceipt, static_cast<std::uint8_t>(pnum + 1), Hex("00 FF 03"));
  h.Step();
  EXPECT_EQ(h.device->SendQueues[sqData].Count(), 3u);
  EXPECT_EQ(h.device->TxDataPNum, static_cast<std::uint8_t>(pnum + 2));
  ASSERT_TRUE(h.RunUntil([&] { return h.sim->DataFrames().size() == 3; }));
  EXPECT_EQ(h.sim->DataFrames(), (std::vector<Bytes>{{2, 3}, {2, 4}, {2, 5}}));
  EXPECT_EQ(h.sim->DataPNums().back(), static_cast<std::uint8_t>(pnum + 2));
  ASSERT_TRUE(h.RunUntil([&] { return h.Idle(); }));
}

TEST_F(SendManyFrames, ThePacketBudgetLimitsTheFrames) {
  QueueFrame(Frame(100, 0xA1));
  QueueFrame(Frame(100, 0xA2));
  QueueFrame(Frame(50, 0xA3));
  const TK2MessagePtr first = SendHeld();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->TraceText, Cp("-> команда (2)"));
  EXPECT_EQ(first->Data.size(), kMaxPacketLength - 232 + 200u) << "232 bytes fit an Ethernet packet";
}

TEST_F(SendManyFrames, DataWithoutAReceiptGoesAgainAfterTheCommandTimeOut) {
  QueueFrame(Hex("02 01"));
  const TK2MessagePtr lost = SendHeld();
  ASSERT_TRUE(lost);
  const std::uint8_t pnum = TK2Header::PeekPNum(lost->Data);
  h.Step(1);  // the packet has left: its time stamp
  // A frame queued meanwhile is not added to the resend.
  QueueFrame(Hex("02 02"));
  h.Step(h.device->CommandTimeOut - 1);
  h.Step(1);
  EXPECT_EQ(SentData().size(), 1u) << "exactly CommandTimeOut is not more than it";
  h.Step(1);
  const auto data = SentData();
  ASSERT_EQ(data.size(), 2u);
  const TK2MessagePtr resent = data.back();
  EXPECT_EQ(resent->TraceText, Cp(kTimeoutResend));
  EXPECT_EQ(TK2Header::PeekPNum(resent->Data), pnum);
  EXPECT_TRUE(TK2Header::PeekFlags(resent->Data) & pfSync);
  EXPECT_EQ(resent->Data.size(), lost->Data.size()) << "the frames that were sent, no more";
  EXPECT_NE(resent->KeyCounter, lost->KeyCounter) << "encrypted anew under the next counter";

  ASSERT_TRUE(h.RunUntil([&] { return h.sim->DataFrames().size() == 2; }));
  EXPECT_EQ(h.sim->DataFrames(), (std::vector<Bytes>{Hex("02 01"), Hex("02 02")}));
  ASSERT_TRUE(h.RunUntil([&] { return h.Idle(); }));
}

TEST_F(Send, TheDevicesResendRequestAndAReceiptOutsideThePacket) {
  QueueFrame(Hex("02 07"));
  const TK2MessagePtr first = SendHeld();
  ASSERT_TRUE(first);
  const std::uint8_t pnum = TK2Header::PeekPNum(first->Data);
  h.Step(1);

  // Tag 0xFD on a receipt that acknowledges nothing new: sent again at once.
  DeviceReceipt(DataReceipt, static_cast<std::uint8_t>(pnum - 1), Hex("00 FD"));
  TK2MessagePtr again = SendHeld();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->TraceText, Cp(kTimeoutResend));
  EXPECT_EQ(TK2Header::PeekPNum(again->Data), pnum);
  h.Step(1);

  // A receipt for a frame the packet does not hold: resynchronise.
  DeviceReceipt(DataReceipt, static_cast<std::uint8_t>(pnum + 10), Hex("00"));
  again = SendHeld();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->TraceText, Cp("- > повторная синхронизация pNum"));
  EXPECT_EQ(TK2Header::PeekPNum(again->Data), pnum);
  EXPECT_EQ(TK2Header::PeekFlags(again->Data) & (pfResync | pfSync), pfResync | pfSync);
  EXPECT_EQ(h.device->SendQueues[sqData].Count(), 1u) << "nothing was released";

  ASSERT_TRUE(h.RunUntil([&] { return h.sim->DataFrames().size() == 1 && h.Idle(); }));
}

TEST_F(Send, ARepeatedReceiptReleasesNothingMore) {
  QueueFrame(Hex("02 01"));
  const TK2MessagePtr first = SendHeld();
  ASSERT_TRUE(first);
  const std::uint8_t pnum = TK2Header::PeekPNum(first->Data);
  DeviceReceipt(DataReceipt, pnum, Hex("00"));
  h.Step(1);
  ASSERT_TRUE(h.device->SendQueues[sqData].IsEmpty());

  // The device withdraws its consent, so the next frame waits queued.
  h.FromDevice(h.sim->StatusWord(0));
  h.Step(1);
  QueueFrame(Hex("02 02"));
  DeviceReceipt(DataReceipt, pnum, Hex("00"));
  h.Step(1);
  h.Step(1);
  EXPECT_EQ(h.device->SendQueues[sqData].Count(), 1u) << "the repeated receipt took the waiting frame";

  h.FromDevice(h.sim->StatusWord(k2sim::kStatusDataAllowed));
  ASSERT_TRUE(h.RunUntil([&] { return h.sim->DataFrames().size() == 1; }));
  EXPECT_EQ(h.sim->DataFrames().back(), Hex("02 02"));
}

TEST_F(Send, ClientDataWaitsUntilTheDeviceAllowsIt) {
  h.FromDevice(h.sim->StatusWord(0));
  h.Step();
  ASSERT_FALSE(h.device->ProfileByte() & kProfileDataAllowed);
  ASSERT_TRUE(h.device->SubmitData(Hex("03 AA BB")));
  for (int i = 0; i < 20; ++i) h.Step();
  EXPECT_FALSE(h.device->DataQueueEmpty());
  EXPECT_TRUE(SentData().empty());

  h.FromDevice(h.sim->StatusWord(k2sim::kStatusDataAllowed));
  ASSERT_TRUE(h.RunUntil([&] { return h.sim->DataFrames().size() == 1; }));
  EXPECT_EQ(h.sim->DataFrames()[0], Hex("03 AA BB"));
}

TEST_F(Send, ADeviceThatNeverAcknowledgesDataLosesTheConnection) {
  h.sim->AcknowledgeData = false;
  QueueFrame(Hex("02 01"));
  ASSERT_TRUE(h.RunUntil([&] { return !h.StateCodes().empty(); }, 2000, 100));
  EXPECT_EQ(h.StateCodes(), std::vector<std::uint16_t>{kStateDisconnected});
  const auto data = SentData();
  ASSERT_EQ(data.size(), 1 + TDevice::kMaxDataResends);
  for (const auto& packet : data) EXPECT_EQ(TK2Header::PeekPNum(packet->Data), TK2Header::PeekPNum(data[0]->Data));
  EXPECT_EQ(h.sim->DataFrames().size(), 1u) << "the device took the frame once";
  // The key exchange starts over.
  EXPECT_TRUE(h.RunUntil([&] { return h.device->Connected.load(); }));
}

TEST_F(Send, AnOverlongServiceSubmissionIsDropped) {
  ASSERT_TRUE(h.device->SubmitService(Bytes(240, 0x55), true));
  ASSERT_TRUE(h.device->SubmitService(Hex("04 04 01 02"), true));
  ASSERT_TRUE(h.RunUntil([&] { return h.sim->ServicePayloads().size() == 1 && h.Idle(); }));
  EXPECT_EQ(h.sim->ServicePayloads()[0], Hex("04 04 01 02"));
  // Its trace follows once it has left.
  h.Step();
  EXPECT_EQ(h.Traces("- > сервисном поток :").size(), 1u);
  EXPECT_EQ(h.sent.size(), 1u);
}

TEST_F(Send, NegativeReceipts) {
  // Another code on a data receipt refuses the front frame of the packet.
  QueueFrame(Hex("02 01"));
  QueueFrame(Hex("02 02"));
  const TK2MessagePtr first = SendHeld();
  ASSERT_TRUE(first);
  DeviceReceipt(DataReceipt, TK2Header::PeekPNum(first->Data), Hex("09"));
  ASSERT_TRUE(h.RunUntil([&] { return h.sim->DataFrames().size() == 1 && h.Idle(); }));
  EXPECT_EQ(h.sim->DataFrames()[0], Hex("02 02"));
  const auto nak = h.Traces("< - отрицательная квитанция на пакет данных");
  ASSERT_EQ(nak.size(), 1u);
  EXPECT_EQ(nak[0].kind, DataReceipt);
  EXPECT_TRUE(h.StateCodes().empty());

  // Code 7: the device could not authenticate a master-key packet.
  h.FromDevice(h.sim->Build(ServiceReceipt, 0, Hex("07 FF FF"), 1));
  h.Step();
  EXPECT_FALSE(h.device->MasterCounterKnown);
  EXPECT_TRUE(h.device->Connected);

  // Code 6: the device holds no connection; code 5: it refuses this system.
  h.FromDevice(h.sim->Build(ServiceReceipt, 0, Hex("06 FF FF"), 1));
  h.Step();
  EXPECT_FALSE(h.device->Connected);
  EXPECT_EQ(h.Traces("< - отрицательная квитанция на сервисный пакет").size(), 2u);
  ASSERT_TRUE(h.RunUntil([&] { return h.device->Connected.load(); }));
  h.FromDevice(h.sim->Build(ServiceReceipt, 0, Hex("05 FF FF"), 1));
  h.Step();
  EXPECT_EQ(h.StateCodes(),
            (std::vector<std::uint16_t>{kStateDisconnected, kStateConnected, kStateDisconnected, kStateRefused}));
}

TEST_F(Send, AnUnacknowledgedStatusWordIsRepeatedUnderItsNumber) {
  const auto status_sent = [&](std::size_t after) {
    return h.sent.size() > after && h.sent.back()->TraceText == Cp("- > пакет \"слово состояния\"");
  };
  h.hold_line = true;
  std::size_t count = h.sent.size();
  h.Step(h.device->LiveMessageTimeOut * 1000 + 1);
  ASSERT_TRUE(h.RunUntil([&] { return status_sent(count); }, 5, 1));
  const std::uint8_t pnum = TK2Header::PeekPNum(h.sent.back()->Data);
  const std::int64_t first = h.Now();
  count = h.sent.size();

  ASSERT_TRUE(h.RunUntil([&] { return h.sent.size() > count; }, 3000, 1));
  EXPECT_TRUE(status_sent(count));
  EXPECT_EQ(h.sent.size(), count + 1);
  EXPECT_EQ(TK2Header::PeekPNum(h.sent.back()->Data), pnum);
  EXPECT_GT(h.Now() - first, h.device->CommandTimeOut.load());
  EXPECT_LE(h.Now() - first, h.device->CommandTimeOut + 5);

  // Once acknowledged it is quiet until the next interval.
  h.hold_line = false;
  ASSERT_TRUE(h.RunUntil([&] { return h.device->AckedServicePNum == pnum; }, 3000, 1));
  count = h.sent.size();
  for (int i = 0; i < 18; ++i) h.Step(500);
  EXPECT_EQ(h.sent.size(), count);
}

TEST_F(Send, TheLastWorkingCounterStartsANewKeyExchange) {
  {
    std::lock_guard engine(h.device->EngineLock);
    h.device->TxWorkCounter = kMaxKeyCounter - 1;
  }
  h.device->QueueStatusWord();
  h.hold_line = true;
  h.Step();
  EXPECT_EQ(h.device->TxWorkCounter, kMaxKeyCounter);
  EXPECT_EQ(h.device->KeyExchangeState, 1);
}

TEST(SendTraces, KeyFramesAreTracedWithoutTheirKeys) {
  EngineHarness h;
  ASSERT_TRUE(h.Connect());
  const auto sent = h.Traces("- > присвоение рабочего ключа прибору + запрос ответного");
  const auto received = h.Traces("< - принят рабочий ключ");
  ASSERT_FALSE(sent.empty());
  ASSERT_FALSE(received.empty());
  for (const auto* record : {&sent.front(), &received.front()}) {
    EXPECT_EQ(record->kind, ServicePackage);
    const Bytes& frame = record->message->Data;
    ASSERT_EQ(frame.size(), 32u);
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 3), Hex("20 01 03"));
    EXPECT_TRUE(std::all_of(frame.begin() + 16, frame.end(), [](std::uint8_t b) { return b == 0; }));
  }
  EXPECT_NE(h.device->TxWorkKey, DeviceKey{});
  // The first exchange in order, each step traced once it left or arrived.
  for (const char* text : {"- > запрос счетчика мастер ключа", "< - принят счетчик мастер ключа"}) {
    EXPECT_EQ(h.Traces(text).size(), 1u) << text;
  }
  EXPECT_EQ(h.StateCodes(), std::vector<std::uint16_t>{kStateConnected});
}

}  // namespace
}  // namespace kavor2::device
