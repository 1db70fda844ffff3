#include "device/local_adapters.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace kavor2::device {
namespace {

using Family = InterfaceEntry::Family;

InterfaceEntry Link(const char* name, bool up, bool loopback, std::vector<std::uint8_t> hw) {
  InterfaceEntry e;
  e.name = name;
  e.up = up;
  e.loopback = loopback;
  e.family = Family::kLink;
  e.hardware = std::move(hw);
  return e;
}

InterfaceEntry Ipv4(const char* name, bool up, bool loopback, std::array<std::uint8_t, 4> address) {
  InterfaceEntry e;
  e.name = name;
  e.up = up;
  e.loopback = loopback;
  e.family = Family::kIpv4;
  e.ipv4 = address;
  return e;
}

TEST(LocalAdapters, FirstUpNonLoopbackSixByteAddressGivesTheMac) {
  const std::vector<InterfaceEntry> entries = {
      Link("lo", true, true, {0, 0, 0, 0, 0, 0}),
      Link("ifb0", false, false, {0xD2, 0x0C, 0x8C, 0xE2, 0xDB, 0x41}),  // down
      Link("tun0", true, false, {}),                                     // no hardware address
      Link("sit0", true, false, {0, 0, 0, 0}),
      Link("ip6tnl0", true, false, std::vector<std::uint8_t>(16, 0xAB)),
      Link("dummy0", true, false, {0, 0, 0, 0, 0, 0}),
      Link("eth0", true, false, {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}),
      Link("eth1", true, false, {0x02, 0x00, 0x00, 0x00, 0x00, 0x02}),
      Ipv4("lo", true, true, {127, 0, 0, 1}),
      Ipv4("ifb0", false, false, {10, 9, 9, 9}),
      Ipv4("eth0", true, false, {192, 0, 2, 2}),
      Ipv4("eth0", true, false, {192, 0, 2, 3}),
      Ipv4("eth1", true, false, {198, 51, 100, 7}),
  };
  const LocalAdapters list = CollectLocalAdapters(entries);
  EXPECT_EQ(LocalAdapterCount(list), 2);
  EXPECT_EQ(FirstAdapterMacText(list), "00-1A-2B-3C-4D-5E");
  EXPECT_EQ(list.ipv4_addresses,
            (std::vector<std::string>{"127.0.0.1", "192.0.2.2", "192.0.2.3", "198.51.100.7"}));
}

TEST(LocalAdapters, NoneAndFailedAreTold) {
  const std::vector<InterfaceEntry> only_loopback = {Link("lo", true, true, {0, 0, 0, 0, 0, 0}),
                                                     Ipv4("lo", true, true, {127, 0, 0, 1})};
  const LocalAdapters list = CollectLocalAdapters(only_loopback);
  EXPECT_EQ(LocalAdapterCount(list), 0);
  EXPECT_EQ(FirstAdapterMacText(list), "00-00-00-00-00-00");
  EXPECT_EQ(list.ipv4_addresses, std::vector<std::string>{"127.0.0.1"});
  EXPECT_EQ(LocalAdapterCount(LocalAdapters{}), -1);
}

TEST(LocalAdapters, ListHoldsAtMostThirtyTwo) {
  std::vector<InterfaceEntry> entries;
  for (int i = 0; i < 40; ++i) {
    const std::string name = "veth" + std::to_string(i);
    entries.push_back(Link(name.c_str(), true, false, {0x02, 0, 0, 0, 0, static_cast<std::uint8_t>(i + 1)}));
  }
  const LocalAdapters list = CollectLocalAdapters(entries);
  EXPECT_EQ(LocalAdapterCount(list), 32);
  EXPECT_EQ(FirstAdapterMacText(list), "02-00-00-00-00-01");
}

TEST(LocalAdapters, RealQueryListsLoopback) {
  const LocalAdapters list = QueryLocalAdapters();
  ASSERT_TRUE(list.ok);
  EXPECT_NE(std::find(list.ipv4_addresses.begin(), list.ipv4_addresses.end(), "127.0.0.1"),
            list.ipv4_addresses.end());
  EXPECT_GE(LocalAdapterCount(), 0);
  EXPECT_EQ(FirstAdapterMacText().size(), 17u);
}

}  // namespace
}  // namespace kavor2::device
