#pragma once
// The sub-devices a device reports through route packets, and their list.
// TSubDevices has no lock of its own: its device guards it with
// SubDeviceLock.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device/id_key_text.h"

namespace kavor2::device {

struct TSubDevice {
  std::uint8_t DeviceType = 0;  // TK2AddressType: 1 six-byte, 2 one-byte, 3 two-byte address
  DeviceId Address{};           // the bytes the type carries, the rest zero
  std::uint8_t State = 0;       // as last reported

  // The six address bytes as IdToText writes them, byte 5 first.
  std::string ID() const { return IdToText(Address); }
};

class TSubDevices {
 public:
  // A device keeps at most this many; reports of further ones are ignored.
  static constexpr std::size_t kMaxSubDevices = 256;

  // The first sub-device of that type whose six address bytes equal the
  // given ones, or null.
  TSubDevice* FindSubDevice(std::uint8_t type, const DeviceId& address);
  // Appends one; null, changing nothing, when the list is full.
  TSubDevice* AddSubDevice(std::uint8_t type, const DeviceId& address, std::uint8_t state);
  // The first sub-device whose ID text equals the text exactly, or null.
  const TSubDevice* FindSubDeviceByText(std::string_view text) const;
  static std::string SubDeviceText(const TSubDevice& sub_device) { return sub_device.ID(); }

  // In order of addition; Items(i) throws platform::RangeError past the end.
  const TSubDevice& Items(std::size_t index) const;
  std::size_t Count() const { return items_.size(); }
  const std::vector<TSubDevice>& All() const { return items_; }
  void Clear() { items_.clear(); }

 private:
  std::vector<TSubDevice> items_;
};

}  // namespace kavor2::device
