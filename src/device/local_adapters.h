#pragma once
// The computer's network adapters: the local IPv4 addresses a UDP line binds
// to, and the first adapter's hardware address, from which a line forms its
// own ID. The query is the only I/O here; turning its raw entries into the
// list is a pure step that tests feed directly.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kavor2::device {

inline constexpr std::size_t kMaxLocalAdapters = 32;
inline constexpr std::size_t kMacSize = 6;

// One entry of the platform's interface list: an interface with one address.
struct InterfaceEntry {
  enum class Family { kIpv4, kLink, kOther };
  std::string name;
  bool up = false;
  bool loopback = false;
  Family family = Family::kOther;
  std::array<std::uint8_t, 4> ipv4{};  // kIpv4: the address, network order
  std::vector<std::uint8_t> hardware;  // kLink: the hardware address
};

struct LocalAdapter {
  std::string name;
  std::array<std::uint8_t, kMacSize> mac{};
};

struct LocalAdapters {
  bool ok = false;  // the query succeeded
  // Interfaces that are up, not loopback, with a 6-byte hardware address
  // other than all zeros, in the platform's order; at most kMaxLocalAdapters.
  std::vector<LocalAdapter> adapters;
  // Dotted IPv4 addresses of the interfaces that are up, in the platform's
  // order, loopback included.
  std::vector<std::string> ipv4_addresses;
};

// Builds the list from raw entries (the pure part of the query).
LocalAdapters CollectLocalAdapters(std::span<const InterfaceEntry> entries);

// Asks the platform (getifaddrs). A failed query gives ok = false and empty
// lists.
LocalAdapters QueryLocalAdapters();

// Number of adapters; -1 when the query failed.
int LocalAdapterCount(const LocalAdapters& list);
// The first adapter's MAC as "00-1A-2B-3C-4D-5E"; "00-00-00-00-00-00" when
// there is none.
std::string FirstAdapterMacText(const LocalAdapters& list);

// The same, each from a fresh query.
int LocalAdapterCount();
std::string FirstAdapterMacText();

}  // namespace kavor2::device
