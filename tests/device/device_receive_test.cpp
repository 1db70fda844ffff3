// The receive path against hostile packets, driven through the tick of a
// device that has run its key exchange with the simulated device.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/crc.h"
#include "engine_harness.h"
#include "test_bytes.h"

namespace kavor2::device {
namespace {

using test::Cp;
using test::EngineHarness;
using test::Hex;

constexpr const char* kBadLength = "< - неверная длина пакета";
constexpr const char* kBadCrc = "< - ошибка CRC16";
constexpr const char* kBadHeader = "< - ошибка заголовка пакета";

std::string AuthFailed(std::uint32_t counter) {
  return "< - ошибка кода аутентификации  СЧРК:" + std::to_string(counter) + " ";
}

// Gives a packet a correct CRC again after a change.
std::vector<std::uint8_t> Recrc(std::vector<std::uint8_t> packet) {
  packet.resize(packet.size() - kCrcSize);
  const std::uint16_t crc = Crc16(packet);
  packet.push_back(static_cast<std::uint8_t>(crc));
  packet.push_back(static_cast<std::uint8_t>(crc >> 8));
  return packet;
}

class Receive : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(h.Connect()); }

  // Hands one packet to the engine and lets it answer; returns the data
  // records it posted.
  std::vector<test::RecordingEvents::Data> Feed(std::vector<std::uint8_t> packet) {
    h.events.ClearAll();
    h.device->Receive(test::Packet(std::move(packet)));
    return h.events.DataRecords();
  }

  // Traces of the packets the scheduler hands out next.
  std::vector<std::string> SentTraces(int ticks = 6) {
    const std::size_t before = h.sent.size();
    h.hold_line = true;
    for (int i = 0; i < ticks; ++i) h.Step();
    h.hold_line = false;
    std::vector<std::string> texts;
    for (std::size_t i = before; i < h.sent.size(); ++i) texts.push_back(h.sent[i]->TraceText);
    return texts;
  }

  std::vector<std::uint8_t> DataPacket(const std::vector<std::uint8_t>& frame) { return h.sim->DataPacket({frame}); }

  EngineHarness h;
};

TEST_F(Receive, EveryPrefixOfAValidPacketIsAWrongLength) {
  const auto packet = DataPacket(Hex("05 01 02 03 04"));
  for (std::size_t n = 0; n < packet.size(); ++n) {
    SCOPED_TRACE(n);
    const auto records = Feed(std::vector<std::uint8_t>(packet.begin(), packet.begin() + n));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message->TraceText, Cp(kBadLength));
    EXPECT_FALSE(records[0].message->Deliver);
  }
  // The packet itself still goes through: nothing above consumed a counter.
  const auto records = Feed(packet);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_TRUE(records[0].message->Deliver);
  EXPECT_EQ(records[0].message->Data, Hex("05 01 02 03 04"));
}

TEST_F(Receive, EverySingleBitFlipIsRefusedBeforeDecryption) {
  const auto packet = DataPacket(Hex("04 AA BB CC"));
  const std::uint32_t counter = h.device->RxWorkCounter;
  const std::uint8_t expected = h.device->ExpectedDataPNum;
  for (std::size_t bit = 0; bit < packet.size() * 8; ++bit) {
    SCOPED_TRACE(bit);
    auto flipped = packet;
    flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    const auto records = Feed(flipped);
    ASSERT_EQ(records.size(), 1u);
    // A flip in the length byte is caught first; every other flip by the CRC.
    EXPECT_EQ(records[0].message->TraceText, Cp(bit < 8 ? kBadLength : kBadCrc));
    EXPECT_FALSE(records[0].message->Deliver);
  }
  EXPECT_EQ(h.device->RxWorkCounter, counter);
  EXPECT_EQ(h.device->ExpectedDataPNum, expected);
  EXPECT_TRUE(h.device->Connected);
}

TEST_F(Receive, EveryDoubleBitFlipIsRefusedBeforeDecryption) {
  // CRC-16 catches every two-bit error at these lengths; a pair that
  // touches the length byte is caught by the length check first.
  const auto packet = DataPacket(Hex("04 AA BB CC"));
  const std::uint32_t counter = h.device->RxWorkCounter;
  const std::uint8_t expected = h.device->ExpectedDataPNum;
  const std::size_t bits = packet.size() * 8;
  for (std::size_t first = 0; first < bits; ++first) {
    for (std::size_t second = first + 1; second < bits; ++second) {
      auto flipped = packet;
      flipped[first / 8] ^= static_cast<std::uint8_t>(1u << (first % 8));
      flipped[second / 8] ^= static_cast<std::uint8_t>(1u << (second % 8));
      const auto records = Feed(flipped);
      ASSERT_EQ(records.size(), 1u) << first << " " << second;
      const bool length_changed = flipped[0] != packet[0];
      ASSERT_EQ(records[0].message->TraceText, Cp(length_changed ? kBadLength : kBadCrc)) << first << " " << second;
      ASSERT_FALSE(records[0].message->Deliver);
    }
  }
  EXPECT_EQ(h.device->RxWorkCounter, counter);
  EXPECT_EQ(h.device->ExpectedDataPNum, expected);
  EXPECT_TRUE(h.device->Connected);
}

TEST_F(Receive, AWrongAuthenticationCodeUnderTheWorkingKey) {
  // The sync mark of a forged packet must not move the numbering either.
  auto forged = h.sim->Build(DataPackage, pfEncrypted | pfWorkingKey | pfSync | pfResync | pfAckRequest,
                             Hex("03 01 02"), 77);
  forged[forged.size() - kCrcSize - 1] ^= 0x10;  // inside the authentication code
  const std::uint32_t counter = h.device->RxWorkCounter;
  const std::uint8_t expected = h.device->ExpectedDataPNum;

  const auto records = Feed(Recrc(forged));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].kind, DataPackage);
  EXPECT_EQ(records[0].message->TraceText, Cp(AuthFailed(counter)));
  EXPECT_EQ(records[0].message->KeyCounter, counter);
  EXPECT_FALSE(records[0].message->Deliver);
  EXPECT_EQ(h.device->RxWorkCounter, counter);
  EXPECT_EQ(h.device->ExpectedDataPNum, expected);
  EXPECT_TRUE(h.device->Connected);
  EXPECT_EQ(h.device->KeyExchangeState, 1) << "a new key exchange starts from idle";

  // The genuine next packet is still accepted.
  const auto genuine = Feed(DataPacket(Hex("02 09")));
  ASSERT_EQ(genuine.size(), 1u);
  EXPECT_TRUE(genuine[0].message->Deliver);
}

TEST_F(Receive, AWrongAuthenticationCodeUnderTheMasterKeyRestartsTheExchange) {
  auto forged = h.sim->Build(ServicePackage, pfEncrypted, CommandFrame(cmdProfileRequest));
  forged[forged.size() - kCrcSize - 4] ^= 0x01;
  const std::uint32_t counter = h.device->RxMasterCounter;
  const auto records = Feed(Recrc(forged));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].kind, ServicePackage);
  EXPECT_EQ(records[0].message->TraceText, Cp(AuthFailed(counter)));
  EXPECT_FALSE(h.device->MasterCounterKnown);
  EXPECT_EQ(h.device->KeyExchangeState, 1);
  EXPECT_EQ(SentTraces(1).at(0), Cp("- > отрицательная нешифрованная квитанция на сервисный пакет"));
  EXPECT_EQ(TK2Header::PeekDType(h.sent.back()->Data), ServiceReceipt);
  EXPECT_EQ(h.sent.back()->Data[h.sent.back()->Data.size() - kCrcSize - 3], kReceiptMasterAuthFailed);
}

TEST_F(Receive, AReplayedPacketFailsAuthentication) {
  const auto packet = DataPacket(Hex("02 42"));
  ASSERT_TRUE(Feed(packet).at(0).message->Deliver);
  const std::uint32_t counter = h.device->RxWorkCounter;
  const auto records = Feed(packet);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message->TraceText, Cp(AuthFailed(counter)));
  EXPECT_TRUE(h.Delivered().empty());
}

TEST_F(Receive, StaleAndFuturePacketNumbersAreTracedNotDelivered) {
  ASSERT_TRUE(Feed(DataPacket(Hex("02 01"))).at(0).message->Deliver);
  ASSERT_TRUE(h.RunUntil([this] { return h.Idle(); }));
  const std::uint8_t expected = h.device->ExpectedDataPNum;
  const std::uint8_t last = h.device->LastDataPNum;
  for (const std::uint8_t pnum : {static_cast<std::uint8_t>(expected - 1), static_cast<std::uint8_t>(expected + 5)}) {
    SCOPED_TRACE(int{pnum});
    const std::uint32_t counter = h.device->RxWorkCounter;
    const auto records = Feed(h.sim->Build(DataPackage, pfEncrypted | pfWorkingKey | pfAckRequest,
                                           Hex("02 0A 03 0B 0C"), pnum));
    ASSERT_EQ(records.size(), 2u);
    const std::string head = "< - ошибка номера пакета , (ожидаемый " + std::to_string(expected) + ")";
    const std::string tail = " СЧРК (" + std::to_string(counter) + ") ";
    EXPECT_EQ(records[0].message->TraceText, Cp(head + tail));
    EXPECT_EQ(records[1].message->TraceText, Cp(head + " ( 1 ) " + tail));
    for (const auto& record : records) {
      EXPECT_EQ(record.kind, DataPackage);
      EXPECT_FALSE(record.message->Deliver);
      EXPECT_EQ(record.message->PNum, pnum);
    }
    EXPECT_EQ(records[1].message->Data, Hex("03 0B 0C"));
    // Still decrypted: the counter moved on; the numbering did not.
    EXPECT_EQ(h.device->RxWorkCounter, counter + 1);
    EXPECT_EQ(h.device->ExpectedDataPNum, expected);
    // The device learns the last frame this system accepted.
    const auto sent = SentTraces(1);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], Cp("- > положительная квитанция на пакет даных"));
    EXPECT_EQ(TK2Header::PeekPNum(h.sent.back()->Data), last);
    EXPECT_EQ(TK2Header::PeekDType(h.sent.back()->Data), DataReceipt);
  }
}

TEST_F(Receive, FramesOfOnePacketAreNumberedOnAcrossTheWrap) {
  const auto records = Feed(h.sim->Build(DataPackage, pfEncrypted | pfWorkingKey | pfSync | pfResync | pfAckRequest,
                                         Hex("02 01 02 02 03 03 03"), 254));
  ASSERT_EQ(records.size(), 3u);
  const std::uint8_t pnums[] = {254, 255, 0};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_TRUE(records[i].message->Deliver);
    EXPECT_EQ(records[i].kind, DataPackage);
    EXPECT_EQ(records[i].message->PNum, pnums[i]);
    EXPECT_EQ(records[i].message->TraceText, Cp("< - [ " + std::to_string(i) + " ] "));
  }
  EXPECT_EQ(records[2].message->Data, Hex("03 03 03"));
  EXPECT_EQ(h.device->LastDataPNum, 0);
  EXPECT_EQ(h.device->ExpectedDataPNum, 1);
  EXPECT_EQ(SentTraces(1).at(0), Cp("- > положительная квитанция на пакет даных"));
  EXPECT_EQ(TK2Header::PeekPNum(h.sent.back()->Data), 0);
}

TEST_F(Receive, KeyCountersAcrossTheLowByteWrap) {
  // 300 packets carry key numbers that wrap past 255 at least once.
  for (int i = 0; i < 300; ++i) {
    const auto records = Feed(h.sim->ServiceStream(Hex("AB CD")));
    ASSERT_EQ(records.size(), 1u) << i;
    ASSERT_TRUE(records[0].message->Deliver) << i;
    EXPECT_EQ(records[0].message->TraceText, Cp("< - сервисный поток :"));
  }
  EXPECT_GT(h.device->RxWorkCounter, 300u);
}

TEST_F(Receive, MalformedHeadersAndUndefinedTypes) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> packet;
    std::string trace;
    std::int32_t kind;
  };
  auto bad_version = h.sim->Build(ServicePackage, 0, CommandFrame(cmdProfile));
  bad_version[kOffsetVersionType] = static_cast<std::uint8_t>(0x20 | ServicePackage);
  const std::vector<Case> cases = {
      // Flags that name addresses, a key number and a code the packet lacks.
      {"truncated", Recrc(Hex("06 11 C2 05 00 00")), kBadHeader, ServicePackage},
      {"version 2", Recrc(bad_version), kBadHeader, ServicePackage},
      {"type 4", h.sim->Build(4, pfEncrypted | pfWorkingKey, Hex("02 00")), "< - неизвестный DType пакета", 4},
      {"unknown command", h.sim->Build(ServicePackage, pfEncrypted | pfWorkingKey, Hex("03 01 63")),
       "< - неизвесный тип пакета", ServicePackage},
      {"empty service packet", h.sim->Build(ServicePackage, pfEncrypted | pfWorkingKey, {}),
       "< - неизвестное значение FType пакета", ServicePackage},
      {"profile", h.sim->Build(ServicePackage, pfEncrypted | pfWorkingKey, Hex("04 01 0C FF")), "< - профиль",
       ServicePackage},
      {"routes request", h.sim->Build(ServicePackage, pfEncrypted | pfWorkingKey, Hex("04 01 08 00")),
       "< - запрос маршрутов ", ServicePackage},
      {"working key, plain", h.sim->Build(ServicePackage, 0, WorkingKeyAssignmentFrame({})),
       "< - принят рабочий ключ (пакет не шифрован или не совпала длина)", ServicePackage},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto records = Feed(c.packet);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message->TraceText, Cp(c.trace));
    EXPECT_EQ(records[0].kind, c.kind);
    EXPECT_FALSE(records[0].message->Deliver);
  }
  EXPECT_TRUE(h.device->Connected);
}

TEST_F(Receive, AnUndefinedFTypeIsAnsweredWithAnEncryptedNegativeReceipt) {
  const auto records = Feed(h.sim->Build(ServicePackage, pfEncrypted | pfWorkingKey, Hex("03 02 00"), 9));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message->TraceText, Cp("< - неизвестное значение FType пакета"));
  EXPECT_EQ(SentTraces(1).at(0), Cp("- > отрицательная квитанция на сервисный пакет"));
  const auto& receipt = h.sent.back()->Data;
  EXPECT_EQ(TK2Header::PeekPNum(receipt), 9);
  EXPECT_EQ(TK2Header::PeekFlags(receipt) & (pfEncrypted | pfWorkingKey), pfEncrypted | pfWorkingKey);
}

TEST_F(Receive, StatusWordSetsTheDevicesBits) {
  h.device->ApplyStatusWord(0x21);  // bits 0, 1, 4, 5 = 1, 0, 0, 1
  const std::uint8_t profile = h.device->ProfileByte();
  EXPECT_TRUE(profile & kProfileDeviceBit2);
  EXPECT_TRUE(profile & kProfileDataAllowed);
  EXPECT_FALSE(profile & kProfileDeviceBit3);
  EXPECT_FALSE(profile & kProfileDeviceBit6);
  EXPECT_EQ(profile & (kProfileBit0 | kProfileGetEvent | kProfileBit4 | kProfileGetCmd), kInitialProfile);
  // The device's copy of this system's bits differs (it echoes nothing):
  // once the last status word was acknowledged a new one is due.
  EXPECT_TRUE(h.device->ProfileChanged);
}

TEST_F(Receive, SubscriberDataRequests) {
  // In the data stream, the last frame decides.
  auto records = Feed(DataPacket(Hex("07 43 34 12 0D 00 00")));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_TRUE(records[0].message->Deliver);
  h.hold_line = true;
  h.Step();
  ASSERT_FALSE(h.sent.empty());
  // The data receipt goes first, then the subscriber data in the data stream.
  EXPECT_EQ(h.sent.back()->TraceText, Cp("- > положительная квитанция на пакет даных"));
  h.Step();
  EXPECT_EQ(h.sent.back()->TraceText, Cp("-> команда (1)"));
  h.hold_line = false;

  // In the service stream the frame must be the service frame, type exactly 3.
  records = Feed(h.sim->Build(ServicePackage, pfEncrypted | pfWorkingKey, Hex("07 03 34 12 0D 00 00")));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message->TraceText, Cp("< - команда в сервисном потоке"));
  EXPECT_EQ(h.device->SendQueues[sqPlainService].Count(), 1u);
  EXPECT_EQ(h.device->SendQueues[sqPlainService].PeekFront()->Data, Hex("09 04 34 12 00 33 0A 00 05"));
}

TEST_F(Receive, RoutesAndServiceStream) {
  auto records = Feed(h.sim->Build(ServicePackage, pfEncrypted | pfWorkingKey | pfAckRequest,
                                   Hex("0C 01 09 01 A1 A2 A3 A4 A5 A6 00 01")));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message->TraceText, Cp("< - маршрут (9)"));
  ASSERT_EQ(h.StateCodes().size(), 1u);
  EXPECT_EQ(h.StateCodes()[0], kStateSubDeviceNew);
  EXPECT_EQ(SentTraces(1).at(0), Cp("- > положительная квитанция на сервисный пакет"));

  records = Feed(h.sim->ServiceStream(Hex("01 02 03")));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].kind, DataPackage);
  EXPECT_TRUE(records[0].message->Deliver);
  EXPECT_EQ(records[0].message->Data, Hex("05 04 01 02 03"));
}

// ---- Before the connection and while disabled ------------------------------------------

TEST(ReceiveUnconnected, OnlyTheKeyExchangePasses) {
  EngineHarness h;
  h.device->SetMasterKey(EngineHarness::kMasterKey);
  h.device->SetEnabled(true);
  // A device that believes itself connected sends data under an old key.
  const auto data = h.sim->Build(DataPackage, pfEncrypted | pfWorkingKey | pfAckRequest, Hex("02 01"), 12);
  h.device->Receive(test::Packet(data));
  auto records = h.events.DataRecords();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message->TraceText, Cp("< - пакет получен при не установленном соединении"));
  EXPECT_EQ(records[0].kind, DataPackage);
  EXPECT_EQ(records[0].message->PNum, 12);
  ASSERT_EQ(h.device->SendQueues[sqPlainReceipt].Count(), 1u);
  const auto receipt = h.device->SendQueues[sqPlainReceipt].PeekFront();
  EXPECT_EQ(receipt->DType, DataReceipt);
  EXPECT_EQ(receipt->PNum, 12);
  EXPECT_EQ(receipt->Data, Hex("06 FF FF"));
  EXPECT_EQ(receipt->TraceText, Cp("- > отрицательная нешифрованная квитанция на пакет даных"));

  // A plain service receipt passes the filter; an encrypted one does not.
  h.events.ClearAll();
  h.device->Receive(test::Packet(h.sim->Build(ServiceReceipt, 0, Hex("00"), 3)));
  h.device->Receive(test::Packet(h.sim->Build(ServiceReceipt, pfEncrypted, Hex("00"), 4)));
  records = h.events.DataRecords();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].message->TraceText, Cp("< - положительная квитанция  на сервисный пакет"));
  EXPECT_EQ(records[0].kind, ServiceReceipt);
  EXPECT_EQ(records[1].message->TraceText, Cp("< - пакет получен при не установленном соединении"));
}

TEST(ReceiveDisabled, AnIntactPacketIsRefusedWithCodeFive) {
  EngineHarness h;
  h.device->RejectDisabled(test::Packet(h.sim->Build(ServicePackage, 0, CommandFrame(cmdProfileRequest), 40)));
  h.device->RejectDisabled(test::Packet(Hex("06 11 00")));  // too short: traced only
  const auto records = h.events.DataRecords();
  ASSERT_EQ(records.size(), 2u);
  for (const auto& record : records) {
    EXPECT_EQ(record.message->TraceText, Cp("<- прибору запрещено общение"));
    EXPECT_EQ(record.kind, ServicePackage);
  }
  EXPECT_EQ(records[0].message->PNum, 40);
  ASSERT_EQ(h.device->SendQueues[sqPlainReceipt].Count(), 1u);
  const auto receipt = h.device->SendQueues[sqPlainReceipt].PeekFront();
  EXPECT_EQ(receipt->DType, ServiceReceipt);
  EXPECT_EQ(receipt->PNum, 40);
  EXPECT_EQ(receipt->Data, Hex("05 FF FF"));

  // The tick of a disabled device sends it.
  h.Step();
  ASSERT_EQ(h.sent.size(), 1u);
  EXPECT_EQ(TK2Header::PeekPNum(h.sent[0]->Data), 40);
  EXPECT_EQ(TK2Header::PeekFlags(h.sent[0]->Data), kAddressFlags);
}

}  // namespace
}  // namespace kavor2::device
