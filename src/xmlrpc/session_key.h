#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/aes128.h"

namespace kavor2::xmlrpc {

// The key both sides know before a connection has its own: it encrypts the
// client's proof and the session key that the server hands out.
inline constexpr platform::AesKey FixedKey = {0x3A, 0x91, 0x5C, 0x07, 0xE2, 0x48, 0xB6, 0x1D,
                                              0x70, 0xC4, 0x29, 0x8F, 0x05, 0xDB, 0x63, 0xAE};

// Both messages of the exchange are one 16-byte key under the body cipher:
// a full block plus the count block.
inline constexpr std::size_t kKeyExchangeMessageSize = 32;

// Client, first message: the FixedKey encrypted under itself.
std::string MakeKeyProof();

// Server: true when the 32 bytes decrypt under the FixedKey to exactly the
// 16 bytes of the FixedKey.
bool IsValidKeyProof(std::string_view message);

// Server, answer: the connection's session key encrypted under the FixedKey.
std::string WrapSessionKey(const platform::AesKey& session_key);

// Client: the session key from the server's answer; nullopt when it does not
// decrypt to exactly 16 bytes.
std::optional<platform::AesKey> UnwrapSessionKey(std::string_view message);

}  // namespace kavor2::xmlrpc
