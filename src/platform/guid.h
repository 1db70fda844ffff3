#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kavor2::platform {

// A GUID in its binary layout: Data1 (32 bits), Data2 and Data3 (16 bits each)
// stored least significant byte first, then the 8 bytes of Data4.
struct Guid {
  std::array<std::uint8_t, 16> bytes{};
  bool IsNull() const;
  friend bool operator==(const Guid&, const Guid&) = default;
};

// A random version-4 GUID from the OS random source.
Guid NewGuid();

// The 38-character registry text, upper-case hex:
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
std::string GuidToText(const Guid& g);

// Reads the registry text (braces required, hex digits of either case).
// Returns nullopt for anything else.
std::optional<Guid> TextToGuid(std::string_view text);

// Cryptographically random bytes from the OS source.
void RandomBytes(std::uint8_t* out, std::size_t n);

}  // namespace kavor2::platform
