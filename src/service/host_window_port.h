#pragma once
// The host window as its posters see it. Detaching it (when the window is
// destroyed at shutdown) turns every later post into a no-op, so objects
// that outlive the window never reach a freed one.
#include <memory>
#include <mutex>

#include "service/host_messages.h"
#include "subscribers/owned_objects.h"

namespace kavor2::service {

class THostWindowPort final : public IHostPoster, public subscribers::INoticeWindow {
 public:
  explicit THostWindowPort(HostWindow& window) : window_(&window) {}
  THostWindowPort(const THostWindowPort&) = delete;
  THostWindowPort& operator=(const THostWindowPort&) = delete;

  // From here on posts go nowhere. Any thread.
  void Detach();

  bool Post(std::uint32_t msg, std::unique_ptr<HostRecord> record = nullptr) override;
  void PostLineUnlocked(std::unique_ptr<device::TStateDeviceMessage> notice) override;
  void PostDeviceUnlocked(std::unique_ptr<device::TStateDeviceMessage> notice) override;

 private:
  std::mutex mutex_;  // the liveness thread posts too
  HostWindow* window_;
};

}  // namespace kavor2::service
