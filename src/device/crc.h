#pragma once
// The two check values of the device side: the CRC-8 step of the serial
// bus's command frames and the CRC-16 of K2 packets and length frames.
#include <cstdint>
#include <span>

namespace kavor2::device {

// One byte of the reflected CRC-8 with constant 0x5B, no final inversion.
// The serial bus starts the register at kCrc8Initial.
inline constexpr std::uint8_t kCrc8Initial = 0xFF;
std::uint8_t Crc8Step(std::uint8_t reg, std::uint8_t data);

// CRC-16/MCRF4XX: polynomial 0x1021 processed bit-reversed (0x8408),
// initial value 0xFFFF, no final XOR. Appended low byte first; running the
// same computation over data plus its appended CRC gives 0.
inline constexpr std::uint16_t kCrc16Initial = 0xFFFF;
std::uint16_t Crc16Step(std::uint16_t crc, std::uint8_t data);
std::uint16_t Crc16(std::span<const std::uint8_t> data, std::uint16_t crc = kCrc16Initial);

}  // namespace kavor2::device
