#pragma once
// Device IDs and keys: their byte orders and text forms.
//
// A device ID (and a line's OwnId) is 6 bytes stored least significant byte
// first; its text is twelve hex digits, most significant byte first. A key is
// 16 bytes written as 32 hex digits, byte 0 first. Texts this code writes use
// upper-case digits; texts it reads may use either case.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kavor2::device {

inline constexpr std::size_t kIdSize = 6;
inline constexpr std::size_t kKeySize = 16;
inline constexpr std::size_t kIdTextLength = 2 * kIdSize;
inline constexpr std::size_t kKeyTextLength = 2 * kKeySize;

using DeviceId = std::array<std::uint8_t, kIdSize>;
using DeviceKey = std::array<std::uint8_t, kKeySize>;

// No ID; also what a transport reports when it finds nothing.
inline constexpr DeviceId NoId = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// Highest address of a device on a serial line (addresses run from 1).
inline constexpr std::uint8_t MaxShortAddress = 127;

// 0 to 15 for '0'-'9', 'A'-'F' and 'a'-'f'; -1 for every other character.
int HexDigitValue(char c);

// Bytes 5 down to 0 as twelve upper-case hex digits.
std::string IdToText(const DeviceId& id);

// Decodes hex pairs into bytes in text order (first pair into byte 0);
// callers reverse the result to get the stored form. Decoding stops at the
// first character that is not a hex digit of either case; a text of fewer
// than twelve digits leaves the later bytes zero. Throws
// platform::RangeError when a digit has no partner or a seventh pair follows.
DeviceId TextToId(std::string_view text);

// Result byte i := source byte 5 - i.
DeviceId ReverseId(const DeviceId& id);

// The stored form of an ID text: ReverseId(TextToId(text)). Throws as
// TextToId does.
DeviceId TextToStoredId(std::string_view text);

bool IdEquals(const DeviceId& a, const DeviceId& b);

// An empty text gives DefaultKey. Otherwise 16 zero bytes filled from the
// leading hex digits, character i into the high half of byte i/2 when i is
// even and the low half when odd; decoding stops at the first non-digit.
// More than 32 leading digits throw platform::RangeError (and nothing is
// returned, so a caller's key is never left half written).
DeviceKey TextToKey(std::string_view text);

// 32 upper-case hex digits, byte 0 first, high half first.
std::string KeyToText(const DeviceKey& key);

bool KeyEquals(const DeviceKey& a, const DeviceKey& b);

// True when the text has exactly `length` characters, each a hex digit of
// either case.
bool IsHexText(std::size_t length, std::string_view text);
bool IsKeyText(std::string_view text);  // IsHexText(32, text)
bool IsIdText(std::string_view text);   // IsHexText(12, text)

constexpr std::uint8_t LowNibble(std::uint8_t b) { return b & 0x0F; }
constexpr std::uint8_t HighNibble(std::uint8_t b) { return b >> 4; }

// Hardware address as two-digit upper-case hex bytes joined by "-"
// (00-1A-2B-3C-4D-5E); "00-00-00-00-00-00" for an address of length 0.
std::string MacToText(std::span<const std::uint8_t> address);

}  // namespace kavor2::device
