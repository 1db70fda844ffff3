#pragma once
// TDevices: the session's one collection of the devices of all lines, with
// the add, delete and lookup operations.
//
// Concurrency. The collection is a vector of shared devices under a
// shared_mutex: lookups (service thread, line threads) take it shared and
// return shared_ptrs, so a device found stays valid for the finder even if
// it is deleted meanwhile; adds and deletes take it exclusively, and only
// for the moment of the change. Every add and delete of a line's device
// runs under that line's LineLock, with its checks, so two adds on one line
// never both pass the duplicate or short-address checks. Lock order: the
// line's LineLock, then the collection, then a device's own locks. Nothing
// here is called with the collection lock held.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "device/device.h"
#include "device/device_clock.h"
#include "device/device_events.h"
#include "device/device_line.h"
#include "device/id_key_text.h"

namespace kavor2::device {

// A refused add. The message is the registry's fixed Windows-1251 text,
// which the API passes to the client.
class EDeviceRegistryError : public std::runtime_error {
 public:
  explicit EDeviceRegistryError(const std::string& message) : std::runtime_error(message) {}
};

// The registry's messages (Windows-1251).
std::string NoSuchLineText();        // "Линия с таким идентификатором не существует"
std::string NoIdAndIpText();         // "Не указаны ID и IP устройства"
std::string DuplicateIdText();       // "Прибор с таким идентификатором уже есть"
std::string ShortAddrTakenText();    // "Короткий адрес уже занят на линии"

// The ID an add is called with for an API text: NoId for an empty text,
// otherwise ReverseId(TextToId(text)) (which throws platform::RangeError as
// TextToId does).
DeviceId DeviceIdFromText(std::string_view text);

class TDevices {
 public:
  // events and lines must outlive the registry and its devices; events may
  // be null (records are dropped).
  TDevices(const ILineDirectory& lines, IDeviceEvents* events, TDeviceClock clock = SystemDeviceClock());
  TDevices(const TDevices&) = delete;
  TDevices& operator=(const TDevices&) = delete;

  // Adds a device to an Ethernet line. Throws EDeviceRegistryError, changing
  // nothing, when: the line does not exist; the ID is NoId and primary_id is
  // set; primary_ip is clear and the host is empty; the ID is NoId and the
  // host is empty; a device of the line has the ID already.
  std::shared_ptr<TDevice> AddEthernetDevice(std::int32_t line_id, const DeviceId& id, std::string_view local_ip,
                                             bool added_by_client, bool primary_ip, std::int32_t port,
                                             std::string_view host, bool primary_id, const DeviceKey& master_key);

  // Adds a device to a serial line. Throws EDeviceRegistryError, changing
  // nothing, when the line does not exist, a device of the line has the ID
  // already (two devices without ID count as the same), or the short address
  // cannot be had. A client's address 0 lets the registry choose the lowest
  // free one (255 when the line is full); an address of 1 to 127 is taken
  // when free; any other address is chosen like 0, since it cannot be used on
  // the bus. A line thread's device always gets the lowest free address, and
  // fails when none is left.
  std::shared_ptr<TDevice> AddSerialDevice(std::int32_t line_id, const DeviceId& id, std::int32_t short_addr,
                                           bool added_by_client, const DeviceKey& master_key);

  // The smallest address 1 to MaxShortAddress that no other device of the
  // device's line has; 255 when all are taken.
  std::uint8_t FreeShortAddr(const TDevice& device) const;
  // Some device of that line has that address.
  bool ShortAddrUsed(std::int32_t line_id, std::uint8_t address) const;

  // Deletes the device at that index under its line's LineLock: disables it
  // (a connected one first sends its logical disconnect, waiting up to
  // TDevice::kDisconnectWait) and removes it. Nothing when the index is past
  // the end or the device's line does not exist.
  void DeleteDevice(std::size_t index);
  // The same for that device; nothing when it is no longer in the collection.
  void DeleteDevice(const std::shared_ptr<TDevice>& device);
  // Deletes every device of a line whose threads have stopped: each is
  // disabled without waiting for its disconnect, which nobody would send.
  void DeleteLineDevices(IDeviceLine& line);

  std::size_t Count() const;
  // The device at that index, or null.
  std::shared_ptr<TDevice> Item(std::size_t index) const;
  // A snapshot of the collection, in order.
  std::vector<std::shared_ptr<TDevice>> Items() const;
  std::vector<std::shared_ptr<TDevice>> DevicesOnLine(std::int32_t line_id) const;
  // The first device of that line at index `from` or after it, with its
  // index in `index`; null (index past the end) when there is none. One
  // look at the collection, for the line threads' passes.
  std::shared_ptr<TDevice> NextOnLine(std::int32_t line_id, std::size_t from, std::size_t& index) const;
  // Changes with every add and delete, so a line thread may keep its list of
  // the line's devices between passes and fetch it again only then.
  std::uint64_t Generation() const { return generation_.load(std::memory_order_acquire); }
  std::size_t CountOnLine(std::int32_t line_id) const;

  // Lookups; null when nothing matches.
  // The first device whose ID text equals the text exactly (case counts).
  std::shared_ptr<TDevice> FindDeviceByIdText(std::string_view text) const;
  std::shared_ptr<TDevice> FindDeviceOnLine(std::int32_t line_id, const DeviceId& id) const;
  // The first device, on any line, with that Host text and Port.
  std::shared_ptr<TDevice> FindDeviceByAddress(std::string_view host, std::int32_t port) const;

 private:
  std::shared_ptr<IDeviceLine> LineOrThrow(std::int32_t line_id) const;
  std::shared_ptr<TDevice> NewDevice(IDeviceLine& line, const std::shared_ptr<IDeviceLine>& shared_line,
                                     bool added_by_client, const DeviceKey& master_key, const DeviceId& id) const;
  std::uint8_t FreeShortAddrOnLine(std::int32_t line_id, const TDevice* except) const;
  void Append(std::shared_ptr<TDevice> device);
  void Remove(const TDevice& device);

  const ILineDirectory& lines_;
  IDeviceEvents* const events_;
  const TDeviceClock clock_;

  mutable std::shared_mutex mutex_;
  std::vector<std::shared_ptr<TDevice>> devices_;
  std::atomic<std::uint64_t> generation_{0};  // changed under mutex_, after the change
};

}  // namespace kavor2::device
