#include "device/byte_reader.h"

#include <gtest/gtest.h>

#include <array>

#include "test_bytes.h"

namespace kavor2::device {
namespace {

using test::Hex;

TEST(ByteReader, LittleEndianReadsAndRefusalsThatChangeNothing) {
  const auto data = Hex("01 02 03 04 05 06 07");
  ByteReader r(data);
  std::uint16_t u16 = 0;
  std::uint32_t u32 = 0;
  ASSERT_TRUE(r.ReadU16(u16));
  EXPECT_EQ(u16, 0x0201);
  ASSERT_TRUE(r.ReadU32(u32));
  EXPECT_EQ(u32, 0x06050403u);
  EXPECT_EQ(r.Remaining(), 1u);

  // What does not fit is refused, leaving the position and the output alone.
  std::array<std::uint8_t, 2> two{0xEE, 0xEE};
  std::span<const std::uint8_t> view;
  EXPECT_FALSE(r.ReadU16(u16));
  EXPECT_FALSE(r.ReadU32(u32));
  EXPECT_FALSE(r.ReadBytes(two));
  EXPECT_FALSE(r.Take(2, view));
  EXPECT_FALSE(r.Skip(2));
  EXPECT_EQ(u16, 0x0201);
  EXPECT_EQ(u32, 0x06050403u);
  EXPECT_EQ(two[0], 0xEE);
  EXPECT_EQ(r.Position(), 6u);

  std::uint8_t last = 0;
  ASSERT_TRUE(r.ReadU8(last));
  EXPECT_EQ(last, 0x07);
  EXPECT_FALSE(r.ReadU8(last));
  EXPECT_TRUE(r.Rest().empty());
}

}  // namespace
}  // namespace kavor2::device
