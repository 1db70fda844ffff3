#include "device/k2_header.h"

#include <gtest/gtest.h>

#include <vector>

#include "device/crc.h"
#include "device/k2_frames.h"
#include "platform/errors.h"
#include "test_bytes.h"

namespace kavor2::device {
namespace {

using test::Hex;
using test::HexArray;

// A device record reduced to what a header reads from it.
class FakeDevice : public IK2HeaderOwner {
 public:
  explicit FakeDevice(bool on_wire) : sender_on_wire(on_wire), receiver_on_wire(on_wire) {}

  DeviceId id = HexArray<6>("AB 05 04 03 02 01");
  DeviceId line_address = HexArray<6>("40 00 80 3C 4D 5E");
  bool sender_on_wire;
  bool receiver_on_wire;
  std::uint8_t tx_service_pnum = 0;
  std::uint8_t tx_data_pnum = 0;
  std::uint32_t tx_work = 0x11223344, tx_master = 0x55667788;
  std::uint32_t rx_work = 0x01020300, rx_master = 0x0A0B0C00;

  DeviceId HeaderDeviceId() const override { return id; }
  DeviceId HeaderLineAddress() const override { return line_address; }
  bool HeaderSenderOnWire() const override { return sender_on_wire; }
  bool HeaderReceiverOnWire() const override { return receiver_on_wire; }
  std::uint8_t TakeServicePNum() override { return tx_service_pnum++; }
  std::uint8_t DataPNum() const override { return tx_data_pnum; }
  std::uint32_t TxKeyCounter(bool working) const override { return working ? tx_work : tx_master; }
  std::uint32_t RxKeyCounter(bool working) const override { return working ? rx_work : rx_master; }
};

// Builds a packet the way the send path does: header, payload (with a fake
// authentication code when encrypted), length and CRC.
std::vector<std::uint8_t> Build(TK2Header& header, std::uint8_t dtype, TK2PacketFlags flags,
                                const std::vector<std::uint8_t>& payload, std::uint32_t auth = 0xCAFEF00D) {
  header.DType = dtype;
  header.Flags = flags;
  std::vector<std::uint8_t> packet;
  EXPECT_TRUE(header.WriteHeader(packet));
  packet.insert(packet.end(), payload.begin(), payload.end());
  if (header.Flags & pfEncrypted) {
    for (int shift = 0; shift < 32; shift += 8) packet.push_back(static_cast<std::uint8_t>(auth >> shift));
  }
  TK2Header::FinishPacket(packet);
  return packet;
}

constexpr TK2PacketFlags kEthernetData = pfEncrypted | pfWorkingKey | pfAckRequest | kAddressFlags;

TEST(K2Header, ServicePacketVectorBuildsAndParses) {
  FakeDevice serial(false);
  serial.tx_service_pnum = 5;
  TK2Header out(&serial);
  const auto packet = Build(out, ServicePackage, 0, Hex("03 01 0B"));
  EXPECT_EQ(packet, Hex("09 11 00 05 03 01 0B 15 52"));
  EXPECT_EQ(serial.tx_service_pnum, 6);  // a service build takes the next number

  TK2Header in(&serial);
  std::vector<std::uint8_t> received = packet;
  ASSERT_TRUE(TK2Header::CheckLength(received));
  ASSERT_TRUE(TK2Header::CheckCrc(received));
  ASSERT_EQ(in.ReadHeader(received), hrOk);
  EXPECT_EQ(received, Hex("03 01 0B"));
  EXPECT_EQ(in.LengthByte, 9);
  EXPECT_EQ(in.Version, kK2Version);
  EXPECT_EQ(in.DType, ServicePackage);
  EXPECT_EQ(in.PNum, 5);
  EXPECT_EQ(in.Flags, 0);
  const TK2ServiceFrame frame = ReadServiceFrame(received);
  EXPECT_EQ(frame.FType, ftCommand);
  EXPECT_EQ(frame.Command, cmdProfileRequest);
}

TEST(K2Header, PNumComesFromTheOverrideOrTheDevice) {
  struct Case {
    std::uint8_t dtype;
    int override_pnum;
    std::uint8_t expected;
    std::uint8_t service_after;
  };
  // The device starts at service PNum 255 and data PNum 40; the header last
  // held PNum 9.
  const Case cases[] = {
      {ServicePackage, TK2Header::kNoPNumOverride, 255, 0},
      {DataPackage, TK2Header::kNoPNumOverride, 40, 255},
      {ServiceReceipt, TK2Header::kNoPNumOverride, 9, 255},
      {DataReceipt, TK2Header::kNoPNumOverride, 9, 255},
      {ServicePackage, 7, 7, 255},
      {DataReceipt, 200, 200, 255},
  };
  for (const Case& c : cases) {
    FakeDevice device(true);
    device.tx_service_pnum = 255;
    device.tx_data_pnum = 40;
    TK2Header header(&device);
    header.PNum = 9;
    header.PNumOverride = c.override_pnum;
    const auto packet = Build(header, c.dtype, 0, {});
    EXPECT_EQ(packet[kOffsetPNum], c.expected) << int(c.dtype) << " " << c.override_pnum;
    EXPECT_EQ(device.tx_service_pnum, c.service_after) << int(c.dtype) << " " << c.override_pnum;
    EXPECT_EQ(device.tx_data_pnum, 40);
    EXPECT_EQ(header.PNumOverride, TK2Header::kNoPNumOverride);
  }
}

TEST(K2Header, OptionalFieldsRoundTrip) {
  struct Case {
    bool on_wire;
    TK2PacketFlags flags;
    std::size_t payload_size;
  };
  const Case cases[] = {
      {true, kEthernetData, 17},
      {true, pfEncrypted | kAddressFlags, 0},
      {true, pfSync | pfResync | kAddressFlags, 5},
      {true, pfSenderAddress, 3},
      {false, pfEncrypted | pfWorkingKey | pfSync, 16},
      {false, 0, 0},
  };
  for (const Case& c : cases) {
    FakeDevice device(c.on_wire);
    TK2Header out(&device);
    std::vector<std::uint8_t> payload(c.payload_size);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(0xA0 + i);
    auto packet = Build(out, DataPackage, c.flags, payload);

    const bool encrypted = (c.flags & pfEncrypted) != 0;
    const std::uint32_t counter = (c.flags & pfWorkingKey) ? device.tx_work : device.tx_master;
    if (encrypted) {
      EXPECT_EQ(out.KeyCounter, counter);
      EXPECT_EQ(out.KeyNumber, counter & 0xFF);
    }
    const std::size_t optional = ((c.flags & pfSenderAddress) ? kAddressSize : 0) +
                                 ((c.flags & pfReceiverAddress) ? kAddressSize : 0) +
                                 (encrypted ? kKeyNumberSize + kAuthCodeSize : 0);
    EXPECT_EQ(packet.size(), kFixedHeaderSize + optional + payload.size() + kCrcSize);

    TK2Header in(&device);
    ASSERT_TRUE(TK2Header::CheckLength(packet));
    ASSERT_TRUE(TK2Header::CheckCrc(packet));
    ASSERT_EQ(in.ReadHeader(packet), hrOk);
    EXPECT_EQ(packet, payload);
    EXPECT_EQ(in.Flags, c.flags);
    EXPECT_EQ(in.SenderAddress, (c.flags & pfSenderAddress) ? device.line_address : device.id);
    EXPECT_EQ(in.ReceiverAddress, (c.flags & pfReceiverAddress) ? device.id : device.line_address);
    if (encrypted) {
      EXPECT_EQ(in.KeyNumber, counter & 0xFF);
      EXPECT_EQ(in.KeyCounter, (c.flags & pfWorkingKey) ? device.rx_work : device.rx_master);
      EXPECT_EQ(in.AuthCode, 0xCAFEF00Du);
    }
  }
}

TEST(K2Header, AddressFlagsFollowWhatTheDeviceSends) {
  FakeDevice serial(false);
  TK2Header header(&serial);
  const auto packet = Build(header, ServicePackage, kAddressFlags | pfSync | 0x01, Hex("03 01 0B"));
  EXPECT_EQ(packet[kOffsetFlags], pfSync);  // no address and never bit 0
  EXPECT_EQ(header.Flags, pfSync);
  EXPECT_EQ(packet.size(), 9u);
  // The IV of the cipher still sees both addresses.
  EXPECT_EQ(header.SenderAddress, serial.line_address);
  EXPECT_EQ(header.ReceiverAddress, serial.id);
}

TEST(K2Header, ReceivedFieldsDefaultAndDropBitZero) {
  FakeDevice ethernet(true);
  TK2Header header(&ethernet);
  auto packet = Hex("00 13 01 2A 03 01 0B");
  TK2Header::FinishPacket(packet);
  ASSERT_EQ(header.ReadHeader(packet), hrOk);
  EXPECT_EQ(header.RawFlags, 0x01);
  EXPECT_EQ(header.Flags, 0);
  EXPECT_EQ(header.DType, DataPackage);
  EXPECT_EQ(header.PNum, 0x2A);
  EXPECT_EQ(header.SenderAddress, ethernet.id);
  EXPECT_EQ(header.ReceiverAddress, ethernet.line_address);
}

TEST(K2Header, OtherVersionStillParses) {
  FakeDevice device(false);
  TK2Header header(&device);
  auto packet = Hex("00 21 00 05 03 01 0B");
  TK2Header::FinishPacket(packet);
  EXPECT_EQ(header.ReadHeader(packet), hrBadVersion);
  EXPECT_EQ(header.Version, 2);
  EXPECT_EQ(packet, Hex("03 01 0B"));
}

TEST(K2Header, WithoutDeviceNothingHappens) {
  TK2Header header(nullptr);
  std::vector<std::uint8_t> stream = Hex("AA");
  EXPECT_FALSE(header.WriteHeader(stream));
  EXPECT_EQ(stream, Hex("AA"));
  auto packet = Hex("09 11 00 05 03 01 0B 15 52");
  EXPECT_EQ(header.ReadHeader(packet), hrNoDevice);
  EXPECT_EQ(packet, Hex("09 11 00 05 03 01 0B 15 52"));
}

TEST(K2Header, LengthLimitsPerOptionalFields) {
  EXPECT_EQ(MaxPayload(false, false, false), 249u);
  EXPECT_EQ(MaxPayload(true, true, true), 232u);
  EXPECT_EQ(MaxPayload(false, false, true), 244u);
  for (int mask = 0; mask < 8; ++mask) {
    const bool sender = mask & 1, receiver = mask & 2, encrypted = mask & 4;
    const TK2PacketFlags flags = (sender ? pfSenderAddress : 0) | (receiver ? pfReceiverAddress : 0) |
                                 (encrypted ? pfEncrypted : 0);
    const std::size_t max = MaxPayload(sender, receiver, encrypted);
    FakeDevice device(true);
    TK2Header header(&device);
    EXPECT_EQ(Build(header, DataPackage, flags, std::vector<std::uint8_t>(max)).size(), kMaxPacketLength) << mask;

    header.Flags = flags;
    std::vector<std::uint8_t> stream;
    ASSERT_TRUE(header.WriteHeader(stream));
    stream.resize(stream.size() + max + 1 + (encrypted ? kAuthCodeSize : 0));
    const auto before = stream;
    EXPECT_THROW(TK2Header::WriteLength(stream), platform::RangeError) << mask;
    EXPECT_EQ(stream, before);
  }
  // 250 payload bytes never fit an Ethernet packet, encrypted or not.
  FakeDevice ethernet(true);
  TK2Header header(&ethernet);
  header.Flags = kAddressFlags;
  std::vector<std::uint8_t> stream;
  ASSERT_TRUE(header.WriteHeader(stream));
  stream.resize(stream.size() + 250);
  EXPECT_THROW(TK2Header::WriteLength(stream), platform::RangeError);
  std::vector<std::uint8_t> empty;
  EXPECT_THROW(TK2Header::WriteLength(empty), platform::RangeError);
}

TEST(K2Header, LengthByteMustMatchTheSize) {
  const auto packet = Hex("09 11 00 05 03 01 0B 15 52");
  EXPECT_TRUE(TK2Header::CheckLength(packet));
  for (std::uint8_t wrong : {std::uint8_t{8}, std::uint8_t{10}, std::uint8_t{0}}) {
    auto p = packet;
    p[kOffsetLength] = wrong;
    EXPECT_FALSE(TK2Header::CheckLength(p)) << int(wrong);
  }
  // A length byte that agrees with a size below the smallest packet.
  EXPECT_FALSE(TK2Header::CheckLength(Hex("05 11 00 05 00")));
  EXPECT_FALSE(TK2Header::CheckLength({}));
}

// Packets of every optional layout, for the hostile-input tests.
std::vector<std::vector<std::uint8_t>> SamplePackets() {
  FakeDevice serial(false), ethernet(true);
  TK2Header s(&serial), e(&ethernet);
  return {
      Hex("09 11 00 05 03 01 0B 15 52"),
      Build(e, DataPackage, kEthernetData, Hex("05 10 20 30 40 03 AA BB")),
      Build(e, DataReceipt, pfEncrypted | pfSync | kAddressFlags, ReceiptPayload(kReceiptPositive)),
      Build(s, ServicePackage, pfEncrypted | pfSync, WorkingKeyAssignmentFrame({})),
      Build(e, ServiceReceipt, pfReceiverAddress, {}),
  };
}

TEST(K2Header, EveryPrefixIsRefused) {
  FakeDevice ethernet(true);
  for (const auto& packet : SamplePackets()) {
    // The part the flags promise besides the payload.
    const TK2PacketFlags flags = packet[kOffsetFlags];
    const std::size_t fixed = kFixedHeaderSize + kCrcSize + ((flags & pfSenderAddress) ? kAddressSize : 0) +
                              ((flags & pfReceiverAddress) ? kAddressSize : 0) +
                              ((flags & pfEncrypted) ? kKeyNumberSize + kAuthCodeSize : 0);
    for (std::size_t n = 0; n < packet.size(); ++n) {
      std::vector<std::uint8_t> prefix(packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(n));
      EXPECT_FALSE(TK2Header::CheckLength(prefix) && TK2Header::CheckCrc(prefix)) << n;
      TK2Header header(&ethernet);
      auto raw = prefix;
      const TK2HeaderResult raw_result = header.ReadHeader(raw);  // must stay within the bytes
      EXPECT_TRUE(raw_result == hrTruncated || raw_result == hrOk) << n;

      // The same prefix made self-consistent: a forged length byte and CRC.
      if (n < kMinPacketLength) continue;
      std::vector<std::uint8_t> forged(prefix.begin(), prefix.end() - kCrcSize);
      TK2Header::FinishPacket(forged);
      ASSERT_TRUE(TK2Header::CheckLength(forged) && TK2Header::CheckCrc(forged)) << n;
      const TK2HeaderResult result = header.ReadHeader(forged);
      if (n < fixed) {
        EXPECT_EQ(result, hrTruncated) << n;
        EXPECT_TRUE(forged.empty()) << n;
      } else {
        EXPECT_EQ(result, hrOk) << n;
        EXPECT_EQ(forged.size(), n - fixed) << n;
      }
    }
  }
}

TEST(K2Header, EverySingleBitFlipFailsTheCrc) {
  for (const auto& packet : SamplePackets()) {
    ASSERT_TRUE(TK2Header::CheckCrc(packet));
    for (std::size_t i = 0; i < packet.size(); ++i) {
      for (int bit = 0; bit < 8; ++bit) {
        auto flipped = packet;
        flipped[i] ^= static_cast<std::uint8_t>(1 << bit);
        EXPECT_FALSE(TK2Header::CheckCrc(flipped)) << i << ":" << bit;
      }
    }
  }
}

TEST(K2Header, PeeksReadRawFieldsSafely) {
  const auto packet = Hex("09 13 A3 07 03 01 0B 00 00");
  EXPECT_EQ(TK2Header::PeekDType(packet), DataPackage);
  EXPECT_EQ(TK2Header::PeekFlags(packet), 0xA2);
  EXPECT_EQ(TK2Header::PeekPNum(packet), 7);
  const auto short_packet = Hex("09 13");
  EXPECT_EQ(TK2Header::PeekDType(short_packet), DataPackage);
  EXPECT_EQ(TK2Header::PeekFlags(short_packet), 0);
  EXPECT_EQ(TK2Header::PeekPNum(short_packet), 0);
}

TEST(K2Header, StatusWordMergesTheDevicesBits) {
  struct Case {
    std::uint8_t profile_before;
    std::uint8_t status;
    std::uint8_t profile_after;
    bool echo_differs;
  };
  const Case cases[] = {
      // Device bits 0, 1, 4, 5 = 1, 0, 0, 1: profile bits 2 and 7 set, 3 and 6 cleared.
      {0x59, 0x21, 0x95, true},
      // The device echoes this system's bits 0 and 4 exactly.
      {kInitialProfile, 0x44, kInitialProfile, false},
      {kInitialProfile | kProfileGetEvent, 0x44, kInitialProfile | kProfileGetEvent, true},
      {kInitialProfile | kProfileGetCmd, 0xC4 | 0x20, kInitialProfile | kProfileGetCmd | kProfileDataAllowed, false},
  };
  FakeDevice device(false);
  for (const Case& c : cases) {
    TK2Header header(&device);
    header.Profile = c.profile_before;
    EXPECT_EQ(header.ApplyStatusWord(c.status), c.echo_differs) << int(c.status);
    EXPECT_EQ(header.ProfileByte(), c.profile_after) << int(c.status);
  }
}

}  // namespace
}  // namespace kavor2::device
