#include "device/devices.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "platform/text.h"

namespace kavor2::device {

std::string NoSuchLineText() { return platform::Utf8ToCp1251("Линия с таким идентификатором не существует"); }
std::string NoIdAndIpText() { return platform::Utf8ToCp1251("Не указаны ID и IP устройства"); }
std::string DuplicateIdText() { return platform::Utf8ToCp1251("Прибор с таким идентификатором уже есть"); }
std::string ShortAddrTakenText() { return platform::Utf8ToCp1251("Короткий адрес уже занят на линии"); }

DeviceId DeviceIdFromText(std::string_view text) {
  if (text.empty()) return NoId;
  return TextToStoredId(text);
}

TDevices::TDevices(const ILineDirectory& lines, IDeviceEvents* events, TDeviceClock clock)
    : lines_(lines), events_(events), clock_(std::move(clock)) {}

std::shared_ptr<IDeviceLine> TDevices::LineOrThrow(std::int32_t line_id) const {
  std::shared_ptr<IDeviceLine> line = lines_.FindLine(line_id);
  if (!line) throw EDeviceRegistryError(NoSuchLineText());
  return line;
}

std::shared_ptr<TDevice> TDevices::NewDevice(IDeviceLine& line, const std::shared_ptr<IDeviceLine>& shared_line,
                                             bool added_by_client, const DeviceKey& master_key,
                                             const DeviceId& id) const {
  auto device = std::make_shared<TDevice>(events_, clock_);
  device->CommandTimeOut = line.AnswerTimeOut();
  device->ConnectTimeOut = line.LinkTime();
  device->SetMasterKey(master_key);
  device->SetId(id);
  device->LineID = line.LineId();
  device->SenderOnWire = line.SenderOnWire();
  device->ReceiverOnWire = line.ReceiverOnWire();
  device->KeyExchangeTimeOut = line.KeyExchangeTimeOut();
  device->AddedByClient = added_by_client;
  device->SetLine(shared_line);
  return device;
}

std::shared_ptr<TDevice> TDevices::AddEthernetDevice(std::int32_t line_id, const DeviceId& id,
                                                     std::string_view local_ip, bool added_by_client,
                                                     bool primary_ip, std::int32_t port, std::string_view host,
                                                     bool primary_id, const DeviceKey& master_key) {
  const std::shared_ptr<IDeviceLine> line = LineOrThrow(line_id);
  const bool no_id = IdEquals(id, NoId);
  // A device must be reachable by its ID or by its address.
  if ((no_id && primary_id) || (!primary_ip && host.empty()) || (no_id && host.empty())) {
    throw EDeviceRegistryError(NoIdAndIpText());
  }

  std::lock_guard line_lock(line->LineLock());
  if (!no_id && FindDeviceOnLine(line_id, id)) throw EDeviceRegistryError(DuplicateIdText());

  std::shared_ptr<TDevice> device = NewDevice(*line, line, added_by_client, master_key, id);
  device->PrimaryID = no_id ? false : primary_id;
  if (host.empty()) {
    device->PrimaryIP = false;
  } else {
    device->SetHost(std::string(host));
    device->Port = port;
    device->PrimaryIP = primary_ip;
  }
  device->IdExchange = 0;
  if (!local_ip.empty()) device->SetLocalAddress(std::string(local_ip));
  Append(device);
  return device;
}

std::shared_ptr<TDevice> TDevices::AddSerialDevice(std::int32_t line_id, const DeviceId& id, std::int32_t short_addr,
                                                   bool added_by_client, const DeviceKey& master_key) {
  const std::shared_ptr<IDeviceLine> line = LineOrThrow(line_id);
  // Re-entrant: the serial line thread adds while it holds the lock.
  std::lock_guard line_lock(line->LineLock());
  if (FindDeviceOnLine(line_id, id)) throw EDeviceRegistryError(DuplicateIdText());

  std::uint8_t address = kNoShortAddr;
  const bool bus_address = short_addr >= 1 && short_addr <= MaxShortAddress;
  if (added_by_client && bus_address) {
    address = static_cast<std::uint8_t>(short_addr);
    if (ShortAddrUsed(line_id, address)) throw EDeviceRegistryError(ShortAddrTakenText());
  } else {
    address = FreeShortAddrOnLine(line_id, nullptr);
    if (!added_by_client && address == kNoShortAddr) throw EDeviceRegistryError(ShortAddrTakenText());
  }

  std::shared_ptr<TDevice> device = NewDevice(*line, line, added_by_client, master_key, id);
  device->ShortAddr = address;
  Append(device);
  return device;
}

std::uint8_t TDevices::FreeShortAddrOnLine(std::int32_t line_id, const TDevice* except) const {
  std::array<bool, MaxShortAddress + 1> used{};
  {
    std::shared_lock lock(mutex_);
    for (const auto& device : devices_) {
      if (device.get() == except || device->LineID != line_id) continue;
      const std::uint8_t address = device->ShortAddr;
      if (address >= 1 && address <= MaxShortAddress) used[address] = true;
    }
  }
  for (std::uint8_t address = 1; address <= MaxShortAddress; ++address) {
    if (!used[address]) return address;
  }
  return kNoShortAddr;
}

std::uint8_t TDevices::FreeShortAddr(const TDevice& device) const {
  return FreeShortAddrOnLine(device.LineID, &device);
}

bool TDevices::ShortAddrUsed(std::int32_t line_id, std::uint8_t address) const {
  std::shared_lock lock(mutex_);
  return std::any_of(devices_.begin(), devices_.end(), [&](const std::shared_ptr<TDevice>& device) {
    return device->LineID == line_id && device->ShortAddr == address;
  });
}

void TDevices::Append(std::shared_ptr<TDevice> device) {
  std::unique_lock lock(mutex_);
  devices_.push_back(std::move(device));
  generation_.fetch_add(1, std::memory_order_release);
}

void TDevices::Remove(const TDevice& device) {
  std::unique_lock lock(mutex_);
  const auto it = std::find_if(devices_.begin(), devices_.end(),
                               [&](const std::shared_ptr<TDevice>& item) { return item.get() == &device; });
  if (it != devices_.end()) {
    devices_.erase(it);
    generation_.fetch_add(1, std::memory_order_release);
  }
}

void TDevices::DeleteDevice(std::size_t index) {
  if (std::shared_ptr<TDevice> device = Item(index)) DeleteDevice(device);
}

void TDevices::DeleteDevice(const std::shared_ptr<TDevice>& device) {
  if (!device) return;
  const std::shared_ptr<IDeviceLine> line = lines_.FindLine(device->LineID);
  if (!line) return;
  std::lock_guard line_lock(line->LineLock());
  {
    std::shared_lock lock(mutex_);
    if (std::find(devices_.begin(), devices_.end(), device) == devices_.end()) return;
  }
  // Not under the collection lock: this may wait for the disconnect, and
  // lookups must go on meanwhile.
  device->SetEnabled(false);
  Remove(*device);
}

void TDevices::DeleteLineDevices(IDeviceLine& line) {
  std::lock_guard line_lock(line.LineLock());
  for (const std::shared_ptr<TDevice>& device : DevicesOnLine(line.LineId())) {
    device->DisableStopped();
    Remove(*device);
  }
}

std::size_t TDevices::Count() const {
  std::shared_lock lock(mutex_);
  return devices_.size();
}

std::shared_ptr<TDevice> TDevices::Item(std::size_t index) const {
  std::shared_lock lock(mutex_);
  return index < devices_.size() ? devices_[index] : nullptr;
}

std::vector<std::shared_ptr<TDevice>> TDevices::Items() const {
  std::shared_lock lock(mutex_);
  return devices_;
}

std::vector<std::shared_ptr<TDevice>> TDevices::DevicesOnLine(std::int32_t line_id) const {
  std::vector<std::shared_ptr<TDevice>> found;
  std::shared_lock lock(mutex_);
  for (const auto& device : devices_) {
    if (device->LineID == line_id) found.push_back(device);
  }
  return found;
}

std::shared_ptr<TDevice> TDevices::NextOnLine(std::int32_t line_id, std::size_t from, std::size_t& index) const {
  std::shared_lock lock(mutex_);
  for (index = from; index < devices_.size(); ++index) {
    if (devices_[index]->LineID == line_id) return devices_[index];
  }
  return nullptr;
}

std::size_t TDevices::CountOnLine(std::int32_t line_id) const {
  std::shared_lock lock(mutex_);
  return static_cast<std::size_t>(std::count_if(devices_.begin(), devices_.end(),
                                                [&](const auto& device) { return device->LineID == line_id; }));
}

std::shared_ptr<TDevice> TDevices::FindDeviceByIdText(std::string_view text) const {
  std::shared_lock lock(mutex_);
  for (const auto& device : devices_) {
    if (device->IdText() == text) return device;
  }
  return nullptr;
}

std::shared_ptr<TDevice> TDevices::FindDeviceOnLine(std::int32_t line_id, const DeviceId& id) const {
  std::shared_lock lock(mutex_);
  for (const auto& device : devices_) {
    if (device->LineID == line_id && IdEquals(device->Id(), id)) return device;
  }
  return nullptr;
}

std::shared_ptr<TDevice> TDevices::FindDeviceByAddress(std::string_view host, std::int32_t port) const {
  std::shared_lock lock(mutex_);
  for (const auto& device : devices_) {
    if (device->Port == port && device->Host() == host) return device;
  }
  return nullptr;
}

}  // namespace kavor2::device
