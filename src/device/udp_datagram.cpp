#include "device/udp_datagram.h"

namespace kavor2::device {
namespace {

constexpr int kNibbleBits = 4;
constexpr std::uint8_t kLowNibble = 0x0F;

}  // namespace

DatagramPrefix MakeDatagramPrefix(bool data_flag) {
  const std::uint8_t kind = data_flag ? kFrameKindK2Packet : kFrameKindIdExchange;
  return {kDatagramMark0, kDatagramMark1,
          static_cast<std::uint8_t>((kDatagramTransportVersion << kNibbleBits) | kind)};
}

bool ParseDatagramPrefix(std::span<const std::uint8_t> datagram, bool& data_flag) {
  if (datagram.size() < kDatagramPrefixSize) return false;
  if (datagram[0] != kDatagramMark0 || datagram[1] != kDatagramMark1) return false;
  if ((datagram[2] >> kNibbleBits) != kDatagramTransportVersion) return false;
  data_flag = (datagram[2] & kLowNibble) == kFrameKindK2Packet;
  return true;
}

}  // namespace kavor2::device
