#pragma once
// Byte strings written as hex in tests: Hex("09 11 00 05").
#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "device/id_key_text.h"

namespace kavor2::device::test {

inline std::vector<std::uint8_t> Hex(std::string_view text) {
  std::vector<std::uint8_t> out;
  int high = -1;
  for (char c : text) {
    if (c == ' ') continue;
    const int v = HexDigitValue(c);
    if (v < 0) throw std::invalid_argument("bad hex in test data");
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(high * 16 + v));
      high = -1;
    }
  }
  if (high >= 0) throw std::invalid_argument("odd hex in test data");
  return out;
}

template <std::size_t N>
std::array<std::uint8_t, N> HexArray(std::string_view text) {
  const auto bytes = Hex(text);
  if (bytes.size() != N) throw std::invalid_argument("wrong hex length in test data");
  std::array<std::uint8_t, N> out{};
  std::copy(bytes.begin(), bytes.end(), out.begin());
  return out;
}

}  // namespace kavor2::device::test
