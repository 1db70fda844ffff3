#include "device/k2_header.h"

#include <array>

#include "device/byte_reader.h"
#include "device/byte_writer.h"
#include "device/crc.h"
#include "platform/errors.h"

namespace kavor2::device {
namespace {

constexpr char kPacketTooLongText[] = "Range check error";
constexpr std::uint8_t kLowByteMask = 0xFF;

struct StatusBit {
  std::uint8_t status;
  std::uint8_t profile;
};

// Bits the device reports about itself, copied into the profile.
constexpr std::array<StatusBit, 4> kDeviceOwnBits = {{
    {0x01, kProfileDeviceBit2},
    {0x02, kProfileDeviceBit3},
    {0x10, kProfileDeviceBit6},
    {0x20, kProfileDataAllowed},
}};

// The device's copy of the bits this system chose.
constexpr std::array<StatusBit, 4> kEchoedBits = {{
    {0x04, kProfileBit0},
    {0x08, kProfileGetEvent},
    {0x40, kProfileBit4},
    {0x80, kProfileGetCmd},
}};

std::uint8_t ByteAt(std::span<const std::uint8_t> packet, std::size_t offset) {
  return offset < packet.size() ? packet[offset] : 0;
}

}  // namespace

bool TK2Header::WriteHeader(std::vector<std::uint8_t>& stream) {
  if (owner_ == nullptr) return false;

  Version = kK2Version;
  TK2PacketFlags wire = Flags & kDefinedFlagsMask;
  SenderAddress = owner_->HeaderLineAddress();
  ReceiverAddress = owner_->HeaderDeviceId();
  if (!owner_->HeaderSenderOnWire()) wire &= static_cast<TK2PacketFlags>(~pfSenderAddress);
  if (!owner_->HeaderReceiverOnWire()) wire &= static_cast<TK2PacketFlags>(~pfReceiverAddress);
  Flags = wire;

  if (PNumOverride != kNoPNumOverride) {
    PNum = static_cast<std::uint8_t>(PNumOverride & kLowByteMask);
    PNumOverride = kNoPNumOverride;
  } else if (DType == ServicePackage) {
    PNum = owner_->TakeServicePNum();
  } else if (DType == DataPackage) {
    PNum = owner_->DataPNum();
  }

  stream.clear();
  AppendU8(stream, 0);  // length, written last
  AppendU8(stream, static_cast<std::uint8_t>((Version << kVersionShift) | (DType & kDTypeMask)));
  AppendU8(stream, wire);
  AppendU8(stream, PNum);
  if (wire & pfSenderAddress) AppendBytes(stream, SenderAddress);
  if (wire & pfReceiverAddress) AppendBytes(stream, ReceiverAddress);
  if (wire & pfEncrypted) {
    KeyCounter = owner_->TxKeyCounter((wire & pfWorkingKey) != 0);
    KeyNumber = static_cast<std::uint8_t>(KeyCounter & kLowByteMask);
    AppendU8(stream, KeyNumber);
  }
  return true;
}

TK2HeaderResult TK2Header::ReadHeader(std::vector<std::uint8_t>& packet) {
  if (owner_ == nullptr) return hrNoDevice;

  ByteReader reader(packet);
  auto truncated = [&packet] {
    packet.clear();
    return hrTruncated;
  };

  std::uint8_t length = 0;
  std::uint8_t version_type = 0;
  std::uint8_t raw_flags = 0;
  std::uint8_t pnum = 0;
  const bool have_length = reader.ReadU8(length);
  const bool have_type = have_length && reader.ReadU8(version_type);
  const bool have_flags = have_type && reader.ReadU8(raw_flags);
  const bool have_pnum = have_flags && reader.ReadU8(pnum);
  LengthByte = length;
  Version = static_cast<std::uint8_t>(version_type >> kVersionShift);
  DType = version_type & kDTypeMask;
  RawFlags = raw_flags;
  Flags = raw_flags & kDefinedFlagsMask;
  PNum = pnum;
  SenderAddress = owner_->HeaderDeviceId();
  ReceiverAddress = owner_->HeaderLineAddress();
  if (!have_pnum) return truncated();

  if ((Flags & pfSenderAddress) && !reader.ReadBytes(SenderAddress)) return truncated();
  if ((Flags & pfReceiverAddress) && !reader.ReadBytes(ReceiverAddress)) return truncated();

  const bool encrypted = (Flags & pfEncrypted) != 0;
  std::size_t trailer = kCrcSize;
  if (encrypted) {
    if (!reader.ReadU8(KeyNumber)) return truncated();
    KeyCounter = owner_->RxKeyCounter((Flags & pfWorkingKey) != 0);
    trailer += kAuthCodeSize;
  }
  if (reader.Remaining() < trailer) return truncated();

  const std::size_t payload_start = reader.Position();
  const std::size_t payload_size = reader.Remaining() - trailer;
  if (!reader.Skip(payload_size)) return truncated();
  if (encrypted && !reader.ReadU32(AuthCode)) return truncated();
  packet.erase(packet.begin() + static_cast<std::ptrdiff_t>(payload_start + payload_size), packet.end());
  packet.erase(packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(payload_start));
  return Version == kK2Version ? hrOk : hrBadVersion;
}

void TK2Header::WriteLength(std::vector<std::uint8_t>& stream) {
  const std::size_t length = stream.size() + kCrcSize;
  if (stream.empty() || length > kMaxPacketLength) throw platform::RangeError(kPacketTooLongText);
  stream[kOffsetLength] = static_cast<std::uint8_t>(length);
}

void TK2Header::AppendCrc(std::vector<std::uint8_t>& stream) { AppendU16(stream, Crc16(stream)); }

void TK2Header::FinishPacket(std::vector<std::uint8_t>& stream) {
  WriteLength(stream);
  AppendCrc(stream);
}

bool TK2Header::CheckLength(std::span<const std::uint8_t> packet) {
  return packet.size() >= kMinPacketLength && packet[kOffsetLength] == packet.size();
}

bool TK2Header::CheckCrc(std::span<const std::uint8_t> packet) {
  return packet.size() >= kCrcSize && Crc16(packet) == 0;
}

std::uint8_t TK2Header::PeekDType(std::span<const std::uint8_t> packet) {
  return ByteAt(packet, kOffsetVersionType) & kDTypeMask;
}

TK2PacketFlags TK2Header::PeekFlags(std::span<const std::uint8_t> packet) {
  return ByteAt(packet, kOffsetFlags) & kDefinedFlagsMask;
}

std::uint8_t TK2Header::PeekPNum(std::span<const std::uint8_t> packet) { return ByteAt(packet, kOffsetPNum); }

bool TK2Header::ApplyStatusWord(std::uint8_t status) {
  for (const StatusBit& b : kDeviceOwnBits) {
    Profile = (status & b.status) ? static_cast<std::uint8_t>(Profile | b.profile)
                                  : static_cast<std::uint8_t>(Profile & ~b.profile);
  }
  bool differs = false;
  for (const StatusBit& b : kEchoedBits) {
    differs = differs || (((status & b.status) != 0) != ((Profile & b.profile) != 0));
  }
  return differs;
}

}  // namespace kavor2::device
