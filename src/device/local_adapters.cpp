#include "device/local_adapters.h"

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "device/id_key_text.h"

namespace kavor2::device {
namespace {

bool HasAdapter(const std::vector<LocalAdapter>& adapters, const std::string& name) {
  return std::any_of(adapters.begin(), adapters.end(), [&](const LocalAdapter& a) { return a.name == name; });
}

std::string DottedText(const std::array<std::uint8_t, 4>& a) {
  std::string text;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (i > 0) text += '.';
    text += std::to_string(a[i]);
  }
  return text;
}

// Reads one getifaddrs entry; entries without an address are of no use.
bool ToEntry(const ifaddrs& ifa, InterfaceEntry& entry) {
  if (ifa.ifa_addr == nullptr || ifa.ifa_name == nullptr) return false;
  entry.name = ifa.ifa_name;
  entry.up = (ifa.ifa_flags & IFF_UP) != 0;
  entry.loopback = (ifa.ifa_flags & IFF_LOOPBACK) != 0;
  if (ifa.ifa_addr->sa_family == AF_INET) {
    sockaddr_in in{};
    std::memcpy(&in, ifa.ifa_addr, sizeof in);
    entry.family = InterfaceEntry::Family::kIpv4;
    std::memcpy(entry.ipv4.data(), &in.sin_addr.s_addr, entry.ipv4.size());
  } else if (ifa.ifa_addr->sa_family == AF_PACKET) {
    sockaddr_ll ll{};
    std::memcpy(&ll, ifa.ifa_addr, sizeof ll);
    entry.family = InterfaceEntry::Family::kLink;
    const std::size_t length = std::min<std::size_t>(ll.sll_halen, sizeof ll.sll_addr);
    entry.hardware.assign(ll.sll_addr, ll.sll_addr + length);
  } else {
    entry.family = InterfaceEntry::Family::kOther;
  }
  return true;
}

}  // namespace

LocalAdapters CollectLocalAdapters(std::span<const InterfaceEntry> entries) {
  LocalAdapters list;
  list.ok = true;
  for (const InterfaceEntry& e : entries) {
    if (!e.up) continue;
    if (e.family == InterfaceEntry::Family::kIpv4) {
      list.ipv4_addresses.push_back(DottedText(e.ipv4));
      continue;
    }
    // An all-zero or odd-sized hardware address cannot tell this computer
    // from another, so such interfaces give no ID.
    const bool usable_mac = e.family == InterfaceEntry::Family::kLink && !e.loopback &&
                            e.hardware.size() == kMacSize &&
                            std::any_of(e.hardware.begin(), e.hardware.end(), [](std::uint8_t b) { return b != 0; });
    if (!usable_mac || list.adapters.size() >= kMaxLocalAdapters || HasAdapter(list.adapters, e.name)) continue;
    LocalAdapter adapter{e.name, {}};
    std::copy(e.hardware.begin(), e.hardware.end(), adapter.mac.begin());
    list.adapters.push_back(std::move(adapter));
  }
  return list;
}

LocalAdapters QueryLocalAdapters() {
  ifaddrs* head = nullptr;
  if (getifaddrs(&head) != 0) return LocalAdapters{};
  std::vector<InterfaceEntry> entries;
  for (const ifaddrs* ifa = head; ifa != nullptr; ifa = ifa->ifa_next) {
    InterfaceEntry entry;
    if (ToEntry(*ifa, entry)) entries.push_back(std::move(entry));
  }
  freeifaddrs(head);
  return CollectLocalAdapters(entries);
}

int LocalAdapterCount(const LocalAdapters& list) {
  return list.ok ? static_cast<int>(list.adapters.size()) : -1;
}

std::string FirstAdapterMacText(const LocalAdapters& list) {
  if (list.adapters.empty()) return MacToText({});
  return MacToText(list.adapters.front().mac);
}

int LocalAdapterCount() { return LocalAdapterCount(QueryLocalAdapters()); }

std::string FirstAdapterMacText() { return FirstAdapterMacText(QueryLocalAdapters()); }

}  // namespace kavor2::device
