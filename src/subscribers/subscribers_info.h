#pragma once
// The subscriber registry: the registered clients and who owns which line
// and device. Used only on the service thread.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/event_loop.h"
#include "platform/guid.h"
#include "subscribers/owned_objects.h"
#include "subscribers/ownership_entries.h"
#include "subscribers/subscriber.h"

namespace kavor2::subscribers {

class TSubscribersInfo {
 public:
  // `loop` is the service thread's: callback results come back on it.
  explicit TSubscribersInfo(platform::EventLoop& loop);
  // Destroys every subscriber (each releases what it owns, with notices),
  // then any line entries left, then any device entries left.
  ~TSubscribersInfo();
  TSubscribersInfo(const TSubscribersInfo&) = delete;
  TSubscribersInfo& operator=(const TSubscribersInfo&) = delete;

  // Where removal notices go; nullptr (the default) drops them. The window
  // must outlive the registry or be unset first.
  void SetWindow(INoticeWindow* window) { window_ = window; }

  TSubscribers& Subscribers() { return subscribers_; }
  const TSubscribers& Subscribers() const { return subscribers_; }
  const TLineSubscribers& LineSubscribers() const { return line_subscribers_; }
  const TDeviceSubscribers& DeviceSubscribers() const { return device_subscribers_; }

  // Shorthands for the lookups of Subscribers().
  TSubscriber* FindByCallback(std::string_view host, std::int32_t port) const {
    return subscribers_.FindByCallback(host, port);
  }
  TSubscriber* FindByConnection(std::string_view ip, std::int32_t port) const {
    return subscribers_.FindByConnection(ip, port);
  }
  TSubscriber* FindByCertificate(const platform::Guid& certificate) const {
    return subscribers_.FindByCertificate(certificate);
  }
  std::string DisplayTextOf(const platform::Guid& certificate) const {
    return subscribers_.DisplayTextOf(certificate);
  }

  // Destroys the first subscriber registered over this connection: its
  // devices, then its lines are released (notices name it still), then its
  // callback connection is dropped. Nothing when there is none.
  void DeleteByConnection(std::string_view ip, std::int32_t port);

  // New ownership entries; the caller has checked that the object is free.
  void AddLineEntry(IOwnedLine& line, const platform::Guid& owner);
  void AddDeviceEntry(IOwnedDevice& device, const platform::Guid& owner);

  // With a line: removes the first entry of this certificate for it.
  // Without (nullptr): removes every entry of this certificate. Each removal
  // posts WM_LINE_UNLOCKED naming the owner.
  void ReleaseLines(const platform::Guid& owner, const IOwnedLine* line = nullptr);
  // The same over device entries. Each removal clears the device's GetEvent
  // and GetCmd, releases the device and posts WM_DEVICE_UNLOCKED.
  void ReleaseDevices(const platform::Guid& owner, const IOwnedDevice* device = nullptr);
  // Removes the first entry of this device, whoever owns it.
  void RemoveDeviceEntry(const IOwnedDevice& device);
  // Removes every device entry whose device is on this line.
  void RemoveLineDevices(const IOwnedLine& line);

 private:
  void DestroyLineEntry(int index);
  void DestroyDeviceEntry(int index);
  void DestroySubscriber(TSubscriber& subscriber);

  INoticeWindow* window_ = nullptr;
  TSubscribers subscribers_;
  TLineSubscribers line_subscribers_;
  TDeviceSubscribers device_subscribers_;
};

}  // namespace kavor2::subscribers
