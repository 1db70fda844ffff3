#include "device/crc.h"

#include <array>

namespace kavor2::device {
namespace {

constexpr std::uint8_t kCrc8Reflected = 0x5B;
constexpr std::uint16_t kCrc16Reflected = 0x8408;
constexpr int kBitsPerByte = 8;
constexpr std::size_t kTableSize = 256;

constexpr std::array<std::uint8_t, kTableSize> MakeCrc8Table() {
  std::array<std::uint8_t, kTableSize> table{};
  for (std::size_t i = 0; i < kTableSize; ++i) {
    auto v = static_cast<std::uint8_t>(i);
    for (int bit = 0; bit < kBitsPerByte; ++bit) {
      v = (v & 1) ? static_cast<std::uint8_t>((v >> 1) ^ kCrc8Reflected) : static_cast<std::uint8_t>(v >> 1);
    }
    table[i] = v;
  }
  return table;
}

constexpr std::array<std::uint16_t, kTableSize> MakeCrc16Table() {
  std::array<std::uint16_t, kTableSize> table{};
  for (std::size_t i = 0; i < kTableSize; ++i) {
    auto v = static_cast<std::uint16_t>(i);
    for (int bit = 0; bit < kBitsPerByte; ++bit) {
      v = (v & 1) ? static_cast<std::uint16_t>((v >> 1) ^ kCrc16Reflected) : static_cast<std::uint16_t>(v >> 1);
    }
    table[i] = v;
  }
  return table;
}

constexpr auto kCrc8Table = MakeCrc8Table();
constexpr auto kCrc16Table = MakeCrc16Table();

}  // namespace

std::uint8_t Crc8Step(std::uint8_t reg, std::uint8_t data) {
  return kCrc8Table[static_cast<std::uint8_t>(reg ^ data)];
}

std::uint16_t Crc16Step(std::uint16_t crc, std::uint8_t data) {
  const auto x = static_cast<std::uint8_t>(crc ^ data);
  return static_cast<std::uint16_t>((crc >> kBitsPerByte) ^ kCrc16Table[x]);
}

std::uint16_t Crc16(std::span<const std::uint8_t> data, std::uint16_t crc) {
  for (std::uint8_t b : data) crc = Crc16Step(crc, b);
  return crc;
}

}  // namespace kavor2::device
