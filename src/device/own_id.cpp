#include "device/own_id.h"

#include <algorithm>
#include <string>

namespace kavor2::device {
namespace {

constexpr char kMacSeparator = '-';
constexpr std::size_t kGuidIdBytes = kIdSize;  // Data1 (4 bytes) and Data2 (2 bytes)

constexpr std::size_t kLineKindByte = 3;
constexpr std::size_t kLinePortByte = 4;
constexpr std::size_t kLineLowByte = 5;

constexpr std::uint8_t kEthernetMark = 0x80;
constexpr std::uint8_t kSlowSerialMark = 2;    // 110 to 9600 baud
constexpr std::uint8_t kMediumSerialMark = 4;  // 14400 to 57600 baud
constexpr std::uint8_t kFastSerialMark = 8;    // 115200 baud
constexpr int kLastSlowOrdinal = 6;            // 9600 baud
constexpr int kLastMediumOrdinal = 11;         // 57600 baud

}  // namespace

std::optional<DeviceId> OwnIdFromMacText(std::string_view mac_text) {
  std::string digits(mac_text);
  digits.erase(std::remove(digits.begin(), digits.end(), kMacSeparator), digits.end());
  if (!IsIdText(digits)) return std::nullopt;
  return TextToStoredId(digits);
}

DeviceId OwnIdFromGuid(const platform::Guid& guid) {
  DeviceId id{};
  std::copy_n(guid.bytes.begin(), kGuidIdBytes, id.begin());
  return id;
}

DeviceId OwnIdBase(int adapter_count, std::string_view first_mac_text, const platform::Guid& fallback) {
  if (adapter_count > 0) {
    if (auto id = OwnIdFromMacText(first_mac_text)) return *id;
  }
  return OwnIdFromGuid(fallback);
}

DeviceId EthernetOwnId(DeviceId base, std::uint16_t local_port) {
  base[kLineKindByte] = kEthernetMark;
  base[kLinePortByte] = 0;
  base[kLineLowByte] = static_cast<std::uint8_t>(local_port);
  return base;
}

DeviceId SerialOwnId(DeviceId base, int baud_ordinal, std::uint8_t com_port) {
  base[kLineKindByte] = baud_ordinal <= kLastSlowOrdinal     ? kSlowSerialMark
                        : baud_ordinal <= kLastMediumOrdinal ? kMediumSerialMark
                                                             : kFastSerialMark;
  base[kLinePortByte] = com_port;
  return base;
}

}  // namespace kavor2::device
