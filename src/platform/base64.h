#pragma once
#include <string>
#include <string_view>

namespace kavor2::platform {

// Standard alphabet with "=" padding, no line breaks (the wire form of bodies
// and digests).
std::string Base64Encode(std::string_view bytes);

// Standard alphabet with "=" padding in lines of 76 characters (57 input
// bytes), CR LF between lines and none after the last; empty input gives "".
std::string Base64EncodeLines(std::string_view bytes);

// Skips every character outside the alphabet (line breaks, spaces, "="),
// packs the rest by 6 bits and emits the trailing partial group. Never fails.
std::string Base64DecodeLenient(std::string_view text);

// Wire decoding: accepts only characters from '+' to 'z' that belong to the
// alphabet or are '=' padding. Throws ConversionError("Invalid Base64
// Character") otherwise.
std::string Base64DecodeStrict(std::string_view text);

}  // namespace kavor2::platform
