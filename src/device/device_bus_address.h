#pragma once
// TDeviceBusAddress: a device record as the serial transport sees it, its
// short address, ID and bus link state. Each of these is an atomic of the
// record (or its identity lock), so the host may read them meanwhile.
#include <string>

#include "device/com_kavor.h"
#include "device/device.h"

namespace kavor2::device {

class TDeviceBusAddress final : public ISerialBusDevice {
 public:
  // The device must outlive the adapter.
  explicit TDeviceBusAddress(TDevice& device) : device_(device) {}

  TDevice& Device() const { return device_; }

  std::string CommHost() const override { return device_.Host(); }
  int CommPort() const override { return device_.Port; }
  std::string CommLocalAddress() const override { return device_.LocalAddress(); }
  void SetCommHost(const std::string& host) override { device_.SetHost(host); }
  void SetCommPort(int port) override { device_.Port = port; }

  DeviceId BusId() const override { return device_.Id(); }
  std::uint8_t BusShortAddr() const override { return device_.ShortAddr; }
  bool BusLinked() const override { return device_.Linked; }
  void SetBusLinked(bool linked) override { device_.SetLinked(linked); }
  bool BusLinkConfirmed() const override { return device_.LinkConfirmed; }
  void SetBusLinkConfirmed(bool confirmed) override { device_.LinkConfirmed = confirmed; }
  std::uint8_t RxToggle() const override { return device_.RxToggle; }
  void SetRxToggle(std::uint8_t toggle) override { device_.RxToggle = toggle; }
  std::uint8_t TxToggle() const override { return device_.TxToggle; }
  void SetTxToggle(std::uint8_t toggle) override { device_.TxToggle = toggle; }
  std::uint8_t BusStatus() const override { return device_.BusStatus; }
  void SetBusStatus(std::uint8_t status) override { device_.BusStatus = status; }

 private:
  TDevice& device_;
};

}  // namespace kavor2::device
