#include "device/crc.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

namespace kavor2::device {
namespace {

std::span<const std::uint8_t> Ascii(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(Crc8Step, EachBitOfTheInputContributesItsConstant) {
  const std::uint8_t constants[8] = {0x49, 0x25, 0x4A, 0x23, 0x46, 0x3B, 0x76, 0x5B};
  for (int bit = 0; bit < 8; ++bit) {
    const auto x = static_cast<std::uint8_t>(1 << bit);
    EXPECT_EQ(Crc8Step(0, x), constants[bit]) << bit;
  }
  EXPECT_EQ(Crc8Step(0, 1), 0x49);
  EXPECT_EQ(Crc8Step(0xFF, 0xFF), 0);
  EXPECT_EQ(Crc8Step(0, 0x03), 0x49 ^ 0x25);
}

TEST(Crc16, CheckValueAndPerBitConstants) {
  EXPECT_EQ(Crc16(Ascii("123456789")), 0x6F91);
  EXPECT_EQ(Crc16({}), kCrc16Initial);
  const std::uint16_t constants[8] = {0x1189, 0x2312, 0x4624, 0x8C48, 0x1081, 0x2102, 0x4204, 0x8408};
  for (int bit = 0; bit < 8; ++bit) {
    EXPECT_EQ(Crc16Step(0, static_cast<std::uint8_t>(1 << bit)), constants[bit]) << bit;
  }
}

TEST(Crc16, AppendedLowByteFirstChecksToZero) {
  std::vector<std::uint8_t> data(Ascii("123456789").begin(), Ascii("123456789").end());
  const std::uint16_t crc = Crc16(data);
  data.push_back(static_cast<std::uint8_t>(crc));
  data.push_back(static_cast<std::uint8_t>(crc >> 8));
  EXPECT_EQ(Crc16(data), 0);
}

}  // namespace
}  // namespace kavor2::device
