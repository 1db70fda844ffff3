#include "service/host_window_port.h"

namespace kavor2::service {

void THostWindowPort::Detach() {
  std::lock_guard<std::mutex> lock(mutex_);
  window_ = nullptr;
}

bool THostWindowPort::Post(std::uint32_t msg, std::unique_ptr<HostRecord> record) {
  std::lock_guard<std::mutex> lock(mutex_);
  return window_ && window_->Post(msg, std::move(record));
}

void THostWindowPort::PostLineUnlocked(std::unique_ptr<device::TStateDeviceMessage> notice) {
  Post(WM_LINE_UNLOCKED, std::make_unique<TStateRecord>(std::move(*notice)));
}

void THostWindowPort::PostDeviceUnlocked(std::unique_ptr<device::TStateDeviceMessage> notice) {
  Post(WM_DEVICE_UNLOCKED, std::make_unique<TStateRecord>(std::move(*notice)));
}

}  // namespace kavor2::service
