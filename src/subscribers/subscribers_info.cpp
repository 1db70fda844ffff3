#include "subscribers/subscribers_info.h"

namespace kavor2::subscribers {

TSubscribersInfo::TSubscribersInfo(platform::EventLoop& loop) : subscribers_(loop) {}

TSubscribersInfo::~TSubscribersInfo() {
  while (subscribers_.Count() > 0) DestroySubscriber(subscribers_.Items(0));
  while (line_subscribers_.Count() > 0) DestroyLineEntry(0);
  while (device_subscribers_.Count() > 0) DestroyDeviceEntry(0);
}

void TSubscribersInfo::DeleteByConnection(std::string_view ip, std::int32_t port) {
  if (TSubscriber* s = subscribers_.FindByConnection(ip, port)) DestroySubscriber(*s);
}

void TSubscribersInfo::DestroySubscriber(TSubscriber& subscriber) {
  // While it is still registered, so that the notices carry its display text.
  ReleaseDevices(subscriber.Certificate);
  ReleaseLines(subscriber.Certificate);
  subscribers_.Remove(subscriber);
}

void TSubscribersInfo::AddLineEntry(IOwnedLine& line, const platform::Guid& owner) {
  line_subscribers_.Add(TLineSubscriber{&line, owner});
}

void TSubscribersInfo::AddDeviceEntry(IOwnedDevice& device, const platform::Guid& owner) {
  device_subscribers_.Add(TDeviceSubscriber{&device, owner});
}

void TSubscribersInfo::ReleaseLines(const platform::Guid& owner, const IOwnedLine* line) {
  if (line) {
    int i = line_subscribers_.IndexOf(
        [&](const TLineSubscriber& e) { return e.OwnerCertificate == owner && e.Line == line; });
    if (i >= 0) DestroyLineEntry(i);
    return;
  }
  for (int i = 0; i < line_subscribers_.Count();) {
    if (line_subscribers_.Items(i).OwnerCertificate == owner) {
      DestroyLineEntry(i);
    } else {
      ++i;
    }
  }
}

void TSubscribersInfo::ReleaseDevices(const platform::Guid& owner, const IOwnedDevice* device) {
  if (device) {
    int i = device_subscribers_.IndexOf(
        [&](const TDeviceSubscriber& e) { return e.OwnerCertificate == owner && e.Device == device; });
    if (i >= 0) DestroyDeviceEntry(i);
    return;
  }
  for (int i = 0; i < device_subscribers_.Count();) {
    if (device_subscribers_.Items(i).OwnerCertificate == owner) {
      DestroyDeviceEntry(i);
    } else {
      ++i;
    }
  }
}

void TSubscribersInfo::RemoveDeviceEntry(const IOwnedDevice& device) {
  int i = device_subscribers_.IndexOf([&](const TDeviceSubscriber& e) { return e.Device == &device; });
  if (i >= 0) DestroyDeviceEntry(i);
}

void TSubscribersInfo::RemoveLineDevices(const IOwnedLine& line) {
  const std::int32_t line_id = line.LineId();
  for (int i = 0; i < device_subscribers_.Count();) {
    if (device_subscribers_.Items(i).Device->LineId() == line_id) {
      DestroyDeviceEntry(i);
    } else {
      ++i;
    }
  }
}

void TSubscribersInfo::DestroyLineEntry(int index) {
  // Taken out first: a released object can then find the lists consistent.
  std::unique_ptr<TLineSubscriber> entry = line_subscribers_.Take(index);
  auto notice = std::make_unique<device::TStateDeviceMessage>();
  notice->Kind = device::kStateKindLine;
  notice->Subject = std::to_string(entry->Line->LineId());
  notice->Owner = subscribers_.DisplayTextOf(entry->OwnerCertificate);
  if (window_) window_->PostLineUnlocked(std::move(notice));
}

void TSubscribersInfo::DestroyDeviceEntry(int index) {
  std::unique_ptr<TDeviceSubscriber> entry = device_subscribers_.Take(index);
  IOwnedDevice& device = *entry->Device;
  device.SetProfile(static_cast<std::uint8_t>(device.Profile() & ~kProfileOwnerBits));
  device.Release();
  auto notice = std::make_unique<device::TStateDeviceMessage>();
  notice->Kind = device::kStateKindDevice;
  notice->Subject = device.IdText();
  notice->Owner = subscribers_.DisplayTextOf(entry->OwnerCertificate);
  if (window_) window_->PostDeviceUnlocked(std::move(notice));
}

}  // namespace kavor2::subscribers
