#pragma once
// TDeviceCommAddress: a device record as the transport sees it: where its
// frames go and what the transport learns of it. The record keeps each
// value consistent on its own (its identity lock, an atomic port).
#include <string>

#include "device/comm_abstract.h"
#include "device/device.h"

namespace kavor2::device {

class TDeviceCommAddress final : public ICommDevice {
 public:
  // The device must outlive the adapter.
  explicit TDeviceCommAddress(TDevice& device) : device_(device) {}

  std::string CommHost() const override { return device_.Host(); }
  int CommPort() const override { return device_.Port; }
  std::string CommLocalAddress() const override { return device_.LocalAddress(); }
  void SetCommHost(const std::string& host) override { device_.SetHost(host); }
  void SetCommPort(int port) override { device_.Port = port; }

 private:
  TDevice& device_;
};

}  // namespace kavor2::device
