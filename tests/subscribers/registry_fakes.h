#pragma once
// Small stand-ins for lines, devices and the host window, recording what the
// registry does to them.
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "subscribers/owned_objects.h"

namespace kavor2::subscribers::testing {

class FakeLine : public IOwnedLine {
 public:
  explicit FakeLine(std::int32_t id) : id_(id) {}
  std::int32_t LineId() const override { return id_; }

 private:
  std::int32_t id_;
};

class FakeDevice : public IOwnedDevice {
 public:
  FakeDevice(std::string id_text, std::int32_t line_id, std::uint8_t profile)
      : id_text_(std::move(id_text)), line_id_(line_id), profile_(profile) {}
  std::string IdText() const override { return id_text_; }
  std::int32_t LineId() const override { return line_id_; }
  std::uint8_t Profile() const override { return profile_; }
  void SetProfile(std::uint8_t profile) override {
    profile_ = profile;
    calls.push_back("SetProfile");
  }
  void Release() override {
    released = true;
    calls.push_back("Release");
  }

  bool released = false;
  std::vector<std::string> calls;

 private:
  std::string id_text_;
  std::int32_t line_id_;
  std::uint8_t profile_;
};

struct Notice {
  std::string message;  // "WM_LINE_UNLOCKED" or "WM_DEVICE_UNLOCKED"
  std::uint8_t kind = 0;
  std::string subject;
  std::string owner;
  friend bool operator==(const Notice&, const Notice&) = default;
};

inline std::ostream& operator<<(std::ostream& os, const Notice& n) {
  return os << n.message << "{kind " << int(n.kind) << ", '" << n.subject << "', '" << n.owner << "'}";
}

class RecordingWindow : public INoticeWindow {
 public:
  void PostLineUnlocked(std::unique_ptr<device::TStateDeviceMessage> m) override {
    notices.push_back({"WM_LINE_UNLOCKED", m->Kind, m->Subject, m->Owner});
  }
  void PostDeviceUnlocked(std::unique_ptr<device::TStateDeviceMessage> m) override {
    notices.push_back({"WM_DEVICE_UNLOCKED", m->Kind, m->Subject, m->Owner});
  }
  std::vector<Notice> notices;
};

}  // namespace kavor2::subscribers::testing
