#pragma once
// The link state of one serial bus device held in plain fields, for driving
// TComKavor's transactions without a line or a device registry.
#include <cstdint>
#include <string>

#include "device/com_kavor.h"
#include "device/serial_link.h"

namespace kavor2::device {

struct FakeBusDevice final : ISerialBusDevice {
  DeviceId id{};
  std::uint8_t short_addr = 1;
  bool linked = true;
  bool confirmed = true;
  std::uint8_t rx = serial::kToggleA;
  std::uint8_t tx = serial::kToggleA;
  std::uint8_t status = serial::kUnknownCapacity;

  std::string CommHost() const override { return {}; }
  int CommPort() const override { return 0; }
  std::string CommLocalAddress() const override { return {}; }
  void SetCommHost(const std::string&) override {}
  void SetCommPort(int) override {}
  DeviceId BusId() const override { return id; }
  std::uint8_t BusShortAddr() const override { return short_addr; }
  bool BusLinked() const override { return linked; }
  void SetBusLinked(bool value) override {
    linked = value;
    if (value) confirmed = true;
  }
  bool BusLinkConfirmed() const override { return confirmed; }
  void SetBusLinkConfirmed(bool value) override { confirmed = value; }
  std::uint8_t RxToggle() const override { return rx; }
  void SetRxToggle(std::uint8_t t) override { rx = t; }
  std::uint8_t TxToggle() const override { return tx; }
  void SetTxToggle(std::uint8_t t) override { tx = t; }
  std::uint8_t BusStatus() const override { return status; }
  void SetBusStatus(std::uint8_t s) override { status = s; }
};

}  // namespace kavor2::device
