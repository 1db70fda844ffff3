#pragma once
// The hexadecimal data text of the send methods.
#include <cstdint>
#include <string_view>
#include <vector>

namespace kavor2::service {

// The bytes of a client's data text, walked in pairs from its start, high
// digit first, digits of either case. The first pair that holds anything
// but two hex digits ends the text: the bytes before it are the result.
// Throws platform::ConversionError when a single hex digit is left over at
// the end, so that a cut-off text sends nothing rather than a short frame.
std::vector<std::uint8_t> HexToBytes(std::string_view text);

}  // namespace kavor2::service
