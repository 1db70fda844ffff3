#pragma once
// Ownership entries: which subscriber (by certificate) owns which line and
// which device. The lists keep insertion order; lookups give the first match.
// They only hold the entries: what removing one means (notices, releasing
// the device) is the registry's business, so only it removes them.
#include <algorithm>
#include <memory>
#include <vector>

#include "platform/guid.h"
#include "subscribers/owned_objects.h"

namespace kavor2::subscribers {

struct TLineSubscriber {
  IOwnedLine* Line = nullptr;  // not owned; the entry goes before the line does
  platform::Guid OwnerCertificate;
};

struct TDeviceSubscriber {
  IOwnedDevice* Device = nullptr;  // not owned; the entry goes before the device does
  platform::Guid OwnerCertificate;
};

class TSubscribersInfo;

template <typename Entry>
class TOwnershipEntries {
 public:
  TOwnershipEntries() = default;
  TOwnershipEntries(const TOwnershipEntries&) = delete;
  TOwnershipEntries& operator=(const TOwnershipEntries&) = delete;

  int Count() const { return static_cast<int>(items_.size()); }
  const Entry& Items(int index) const { return *items_.at(static_cast<std::size_t>(index)); }

  // The index of the first entry that `match` accepts, or -1.
  template <typename Match>
  int IndexOf(Match match) const {
    auto it = std::find_if(items_.begin(), items_.end(), [&](const auto& e) { return match(*e); });
    return it == items_.end() ? -1 : static_cast<int>(it - items_.begin());
  }

 private:
  friend class TSubscribersInfo;
  void Add(Entry entry) { items_.push_back(std::make_unique<Entry>(entry)); }
  // Takes the entry out of the list and gives it to the caller.
  std::unique_ptr<Entry> Take(int index) {
    auto it = items_.begin() + index;
    std::unique_ptr<Entry> entry = std::move(*it);
    items_.erase(it);
    return entry;
  }

  std::vector<std::unique_ptr<Entry>> items_;
};

using TLineSubscribers = TOwnershipEntries<TLineSubscriber>;
using TDeviceSubscribers = TOwnershipEntries<TDeviceSubscriber>;

}  // namespace kavor2::subscribers
