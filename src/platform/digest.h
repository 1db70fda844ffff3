#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace kavor2::platform {

using Md5Digest = std::array<std::uint8_t, 16>;

// RFC 1321 digest of the bytes.
Md5Digest Md5(std::string_view bytes);

// The Content-MD5 text (RFC 1864): Base64 of the digest, 24 characters.
std::string Md5Base64(std::string_view bytes);

}  // namespace kavor2::platform
