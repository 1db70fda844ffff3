#include "device/id_key_text.h"

#include <algorithm>

#include "device/fixed_keys.h"
#include "platform/errors.h"

namespace kavor2::device {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr char kRangeErrorText[] = "Range check error";
constexpr char kMacSeparator = '-';
constexpr std::size_t kZeroMacBytes = 6;
constexpr int kNibbleBits = 4;

void AppendHexByte(std::string& out, std::uint8_t b) {
  out += kHexDigits[HighNibble(b)];
  out += kHexDigits[LowNibble(b)];
}

}  // namespace

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string IdToText(const DeviceId& id) {
  std::string text;
  text.reserve(kIdTextLength);
  for (std::size_t i = kIdSize; i-- > 0;) AppendHexByte(text, id[i]);
  return text;
}

DeviceId TextToId(std::string_view text) {
  // Pairs are decoded in order; the punctuation between '9' and 'a' that a
  // looser range test would let through counts as "not a digit" here, so
  // no caller ever gets bytes made from it.
  DeviceId result{};
  std::size_t pairs = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const int high = HexDigitValue(text[pos]);
    if (high < 0) break;
    if (pos + 1 >= text.size()) throw platform::RangeError(kRangeErrorText);
    const int low = HexDigitValue(text[pos + 1]);
    if (low < 0) break;
    if (pairs == kIdSize) throw platform::RangeError(kRangeErrorText);
    result[pairs++] = static_cast<std::uint8_t>((high << kNibbleBits) | low);
    pos += 2;
  }
  return result;
}

DeviceId ReverseId(const DeviceId& id) {
  DeviceId out{};
  std::reverse_copy(id.begin(), id.end(), out.begin());
  return out;
}

DeviceId TextToStoredId(std::string_view text) { return ReverseId(TextToId(text)); }

bool IdEquals(const DeviceId& a, const DeviceId& b) { return a == b; }

DeviceKey TextToKey(std::string_view text) {
  if (text.empty()) return DefaultKey;
  DeviceKey key{};
  for (std::size_t i = 0; i < text.size(); ++i) {
    const int v = HexDigitValue(text[i]);
    if (v < 0) break;
    if (i >= kKeyTextLength) throw platform::RangeError(kRangeErrorText);
    const bool high_half = i % 2 == 0;
    key[i / 2] |= static_cast<std::uint8_t>(high_half ? v << kNibbleBits : v);
  }
  return key;
}

std::string KeyToText(const DeviceKey& key) {
  std::string text;
  text.reserve(kKeyTextLength);
  for (std::uint8_t b : key) AppendHexByte(text, b);
  return text;
}

bool KeyEquals(const DeviceKey& a, const DeviceKey& b) { return a == b; }

bool IsHexText(std::size_t length, std::string_view text) {
  return text.size() == length &&
         std::all_of(text.begin(), text.end(), [](char c) { return HexDigitValue(c) >= 0; });
}

bool IsKeyText(std::string_view text) { return IsHexText(kKeyTextLength, text); }

bool IsIdText(std::string_view text) { return IsHexText(kIdTextLength, text); }

std::string MacToText(std::span<const std::uint8_t> address) {
  static constexpr std::array<std::uint8_t, kZeroMacBytes> kZeroMac{};
  if (address.empty()) address = kZeroMac;
  std::string text;
  for (std::size_t i = 0; i < address.size(); ++i) {
    if (i > 0) text += kMacSeparator;
    AppendHexByte(text, address[i]);
  }
  return text;
}

}  // namespace kavor2::device
