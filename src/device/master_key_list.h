#pragma once
// The master-key list: device IDs with the master key each should get.
// Entries keep the order they were added in and are not checked for
// duplicate IDs; a lookup finds the earliest entry.
//
// Threads: clients change the list on the service thread while line threads
// look keys up, so the list locks itself and hands out copies of entries.
#include <cstddef>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "device/id_key_text.h"

namespace kavor2::device {

struct TKeyItem {
  DeviceId Id{};    // stored order; all zero until set
  DeviceKey Key{};  // all zero until set

  // Id := ReverseId(TextToId(text)). Throws platform::RangeError as
  // TextToId does (an odd digit count, more than six pairs).
  void SetIdText(std::string_view text);
  // Twelve upper-case hex digits.
  std::string GetIdText() const;
  // Key := 16 zero bytes, then the leading hex digits of text (either case),
  // character i into the high half of byte i/2 when i is even and the low
  // half when odd, up to the first character that is not a hex digit.
  // Throws platform::RangeError for an empty text, and for a text of 33 or
  // more leading digits after the first 32 have been stored.
  void SetKeyText(std::string_view text);
};

class TMasterKeyList {
 public:
  TMasterKeyList() = default;
  TMasterKeyList(const TMasterKeyList&) = delete;
  TMasterKeyList& operator=(const TMasterKeyList&) = delete;

  // Appends the entry at the end.
  void Add(const TKeyItem& item);
  std::size_t Count() const;
  // A copy of the entry at that index; nothing past the end.
  std::optional<TKeyItem> Items(std::size_t index) const;
  // Removes the entry at that index; false (nothing removed) past the end.
  bool Delete(std::size_t index);
  void Clear();
  // Removes the first entry whose GetIdText equals text exactly (case
  // counts). Returns whether one was removed.
  bool DeleteIdText(std::string_view text);

  // The Key of the first entry with that Id; DefaultKey when there is none.
  DeviceKey MasterKeyFor(const DeviceId& id) const;

 private:
  mutable std::shared_mutex mutex_;
  std::vector<TKeyItem> items_;
};

}  // namespace kavor2::device
