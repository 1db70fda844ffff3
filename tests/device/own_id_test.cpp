#include "device/own_id.h"

#include <gtest/gtest.h>

#include "test_bytes.h"

namespace kavor2::device {
namespace {

using test::HexArray;

platform::Guid SampleGuid() {
  platform::Guid g;
  g.bytes = HexArray<16>("10 11 12 13 20 21 30 31 40 41 42 43 44 45 46 47");
  return g;
}

TEST(OwnId, EthernetLineFromTheFirstAdapterAndThePort) {
  const DeviceId base = OwnIdBase(1, "00-1A-2B-3C-4D-5E", SampleGuid());
  EXPECT_EQ(base, HexArray<6>("5E 4D 3C 2B 1A 00"));
  const DeviceId own = EthernetOwnId(base, 40000);  // 0x9C40
  EXPECT_EQ(own, HexArray<6>("5E 4D 3C 80 00 40"));
  EXPECT_EQ(IdToText(own), "4000803C4D5E");
  EXPECT_EQ(ReverseId(own), HexArray<6>("40 00 80 3C 4D 5E"));  // as it goes on the wire
}

TEST(OwnId, GuidWhenNoAdapterGivesAnId) {
  const DeviceId from_guid = HexArray<6>("10 11 12 13 20 21");
  struct Case {
    int count;
    const char* mac;
  };
  // No adapters, a failed query, and a hardware address too long for an ID.
  for (const Case& c : {Case{0, "00-1A-2B-3C-4D-5E"}, Case{-1, ""}, Case{1, "00-1A-2B-3C-4D-5E-6F-70"},
                        Case{1, "00-00-00-00-00"}}) {
    EXPECT_EQ(OwnIdBase(c.count, c.mac, SampleGuid()), from_guid) << c.count << " " << c.mac;
  }
}

TEST(OwnId, SerialLineMarksSpeedClassAndPort) {
  const DeviceId base = HexArray<6>("5E 4D 3C 2B 1A 00");
  struct Case {
    int baud_ordinal;
    std::uint8_t mark;
  };
  // 110 and 9600 baud, 14400 and 57600, 115200.
  for (const Case& c : {Case{0, 2}, Case{6, 2}, Case{7, 4}, Case{11, 4}, Case{12, 8}}) {
    const DeviceId own = SerialOwnId(base, c.baud_ordinal, 3);
    EXPECT_EQ(own, (DeviceId{0x5E, 0x4D, 0x3C, c.mark, 0x03, 0x00})) << c.baud_ordinal;
  }
}

}  // namespace
}  // namespace kavor2::device
