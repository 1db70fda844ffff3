#pragma once
// Appending K2 integers (little-endian) to an outgoing byte buffer.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kavor2::device {

inline constexpr int kByteBits = 8;

inline void AppendU8(std::vector<std::uint8_t>& out, std::uint8_t v) { out.push_back(v); }

inline void AppendU16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> kByteBits));
}

inline void AppendU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (std::size_t shift = 0; shift < sizeof v * kByteBits; shift += kByteBits) {
    out.push_back(static_cast<std::uint8_t>(v >> shift));
  }
}

inline void AppendBytes(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

}  // namespace kavor2::device
