#include "device/master_key_list.h"

#include <algorithm>
#include <mutex>

#include "device/fixed_keys.h"
#include "platform/errors.h"

namespace kavor2::device {
namespace {

// The text of the conversion's range errors, which clients see as such.
constexpr char kRangeErrorText[] = "Range check error";
constexpr int kBitsPerDigit = 4;

}  // namespace

void TKeyItem::SetIdText(std::string_view text) { Id = TextToStoredId(text); }

std::string TKeyItem::GetIdText() const { return IdToText(Id); }

void TKeyItem::SetKeyText(std::string_view text) {
  Key = {};
  if (text.empty()) throw platform::RangeError(kRangeErrorText);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const int value = HexDigitValue(text[i]);
    if (value < 0) return;
    if (i >= kKeyTextLength) throw platform::RangeError(kRangeErrorText);
    const bool high_half = i % 2 == 0;
    Key[i / 2] |= static_cast<std::uint8_t>(high_half ? value << kBitsPerDigit : value);
  }
}

void TMasterKeyList::Add(const TKeyItem& item) {
  std::unique_lock lock(mutex_);
  items_.push_back(item);
}

std::size_t TMasterKeyList::Count() const {
  std::shared_lock lock(mutex_);
  return items_.size();
}

std::optional<TKeyItem> TMasterKeyList::Items(std::size_t index) const {
  std::shared_lock lock(mutex_);
  if (index >= items_.size()) return std::nullopt;
  return items_[index];
}

bool TMasterKeyList::Delete(std::size_t index) {
  std::unique_lock lock(mutex_);
  if (index >= items_.size()) return false;
  items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
  return true;
}

void TMasterKeyList::Clear() {
  std::unique_lock lock(mutex_);
  items_.clear();
}

bool TMasterKeyList::DeleteIdText(std::string_view text) {
  std::unique_lock lock(mutex_);
  const auto it =
      std::find_if(items_.begin(), items_.end(), [&](const TKeyItem& item) { return item.GetIdText() == text; });
  if (it == items_.end()) return false;
  items_.erase(it);
  return true;
}

DeviceKey TMasterKeyList::MasterKeyFor(const DeviceId& id) const {
  std::shared_lock lock(mutex_);
  const auto it =
      std::find_if(items_.begin(), items_.end(), [&](const TKeyItem& item) { return IdEquals(item.Id, id); });
  return it == items_.end() ? DefaultKey : it->Key;
}

}  // namespace kavor2::device
