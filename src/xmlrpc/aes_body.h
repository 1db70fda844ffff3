#pragma once
#include <optional>
#include <string>
#include <string_view>

#include "platform/aes128.h"

namespace kavor2::xmlrpc {

// The body cipher shared by the server and the callback client: AES-128 in
// ECB mode where the last block is always added and carries the count of its
// meaningful bytes (n mod 16) in its final byte, so n bytes of plaintext give
// (n / 16 + 1) * 16 bytes of ciphertext.

// Encrypts any plaintext (also empty: one block holding only the count 0).
std::string AesEncryptBytes(const platform::Aes128& cipher, std::string_view plain);

// Decrypts the whole blocks; bytes after the last whole block are ignored.
// Throws platform::ConversionError("Invalid file format") for less than one
// block, and for a last block whose count byte is above 15 (a wrong key or
// damaged data), which could otherwise not say how much of it to keep.
std::string AesDecryptBytes(const platform::Aes128& cipher, std::string_view data);

// Wire form of a body: the text without its last two characters (the CR LF
// every document ends with) is encrypted and Base64-encoded on one line,
// followed by CR LF.
std::string EncodeAesBody(const platform::Aes128& cipher, std::string_view text);

// Inverse of EncodeAesBody: the body without its last two characters is
// decoded with the strict wire Base64 ("Invalid Base64 Character"),
// decrypted ("Invalid file format"), and CR LF is appended. Both errors are
// platform::ConversionError.
std::string DecodeAesBody(const platform::Aes128& cipher, std::string_view body);

}  // namespace kavor2::xmlrpc
