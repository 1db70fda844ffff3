#include "platform/guid.h"

#include <openssl/rand.h>

#include <cstdio>
#include <stdexcept>

namespace kavor2::platform {
namespace {

constexpr std::size_t kGuidTextLength = 38;
// Byte order of the text's 16 hex pairs within the binary layout: Data1,
// Data2 and Data3 are little-endian, Data4 is in order.
constexpr int kTextOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
constexpr std::size_t kVersionByte = 7;   // high byte of Data3
constexpr std::size_t kVariantByte = 8;   // Data4[0]

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool Guid::IsNull() const {
  for (auto b : bytes) {
    if (b != 0) return false;
  }
  return true;
}

void RandomBytes(std::uint8_t* out, std::size_t n) {
  if (n == 0) return;
  if (RAND_bytes(out, static_cast<int>(n)) != 1) throw std::runtime_error("random source failed");
}

Guid NewGuid() {
  Guid g;
  RandomBytes(g.bytes.data(), g.bytes.size());
  g.bytes[kVersionByte] = static_cast<std::uint8_t>((g.bytes[kVersionByte] & 0x0F) | 0x40);
  g.bytes[kVariantByte] = static_cast<std::uint8_t>((g.bytes[kVariantByte] & 0x3F) | 0x80);
  return g;
}

std::string GuidToText(const Guid& g) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(kGuidTextLength);
  out += '{';
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    std::uint8_t b = g.bytes[kTextOrder[i]];
    out += kHex[b >> 4];
    out += kHex[b & 0x0F];
  }
  out += '}';
  return out;
}

std::optional<Guid> TextToGuid(std::string_view text) {
  if (text.size() != kGuidTextLength || text.front() != '{' || text.back() != '}') return std::nullopt;
  Guid g;
  std::size_t pos = 1;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) {
      if (text[pos] != '-') return std::nullopt;
      ++pos;
    }
    int hi = HexValue(text[pos]), lo = HexValue(text[pos + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    g.bytes[kTextOrder[i]] = static_cast<std::uint8_t>(hi << 4 | lo);
    pos += 2;
  }
  return g;
}

}  // namespace kavor2::platform
