#pragma once
// The datagram of an Ethernet line: a three-byte prefix (two marker bytes,
// then the transport version in the high half and the frame kind in the low
// half of the third), followed by a K2 packet or an ID exchange message.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kavor2::device {

inline constexpr std::uint8_t kDatagramMark0 = 0xED;
inline constexpr std::uint8_t kDatagramMark1 = 0x9C;
inline constexpr std::uint8_t kDatagramTransportVersion = 2;
inline constexpr std::uint8_t kFrameKindK2Packet = 0;
inline constexpr std::uint8_t kFrameKindIdExchange = 2;
inline constexpr std::size_t kDatagramPrefixSize = 3;
// Longest datagram taken on reception, prefix included.
inline constexpr std::size_t kMaxDatagramSize = 8192;

using DatagramPrefix = std::array<std::uint8_t, kDatagramPrefixSize>;

// ED 9C 20 for a K2 packet, ED 9C 22 for an ID exchange message.
DatagramPrefix MakeDatagramPrefix(bool data_flag);

// True when the datagram starts with a prefix of this transport version;
// data_flag := the kind is a K2 packet. Every other kind counts as an ID
// exchange. On false data_flag is left as it was.
bool ParseDatagramPrefix(std::span<const std::uint8_t> datagram, bool& data_flag);

}  // namespace kavor2::device
