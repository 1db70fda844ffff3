#include "device/sub_device.h"

#include <string>

#include "platform/errors.h"

namespace kavor2::device {

TSubDevice* TSubDevices::FindSubDevice(std::uint8_t type, const DeviceId& address) {
  for (auto& item : items_) {
    if (item.DeviceType == type && IdEquals(item.Address, address)) return &item;
  }
  return nullptr;
}

TSubDevice* TSubDevices::AddSubDevice(std::uint8_t type, const DeviceId& address, std::uint8_t state) {
  if (items_.size() >= kMaxSubDevices) return nullptr;
  items_.push_back(TSubDevice{type, address, state});
  return &items_.back();
}

const TSubDevice* TSubDevices::FindSubDeviceByText(std::string_view text) const {
  for (const auto& item : items_) {
    if (item.ID() == text) return &item;
  }
  return nullptr;
}

const TSubDevice& TSubDevices::Items(std::size_t index) const {
  if (index >= items_.size()) throw platform::RangeError("List index out of bounds (" + std::to_string(index) + ")");
  return items_[index];
}

}  // namespace kavor2::device
