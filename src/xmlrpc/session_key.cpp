#include "xmlrpc/session_key.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <stdexcept>

#include "xmlrpc/aes_body.h"

namespace kavor2::xmlrpc {
namespace {

std::string_view KeyBytes(const platform::AesKey& key) {
  return {reinterpret_cast<const char*>(key.data()), key.size()};
}

// A message that is not a whole key under the FixedKey.
std::optional<std::string> OpenMessage(std::string_view message) {
  if (message.size() != kKeyExchangeMessageSize) return std::nullopt;
  platform::Aes128 cipher(FixedKey);
  try {
    std::string plain = AesDecryptBytes(cipher, message);
    if (plain.size() != FixedKey.size()) {
      OPENSSL_cleanse(plain.data(), plain.size());
      return std::nullopt;
    }
    return plain;
  } catch (const std::runtime_error&) {
    return std::nullopt;
  }
}

}  // namespace

std::string MakeKeyProof() {
  platform::Aes128 cipher(FixedKey);
  return AesEncryptBytes(cipher, KeyBytes(FixedKey));
}

bool IsValidKeyProof(std::string_view message) {
  std::optional<std::string> plain = OpenMessage(message);
  if (!plain) return false;
  return CRYPTO_memcmp(plain->data(), FixedKey.data(), FixedKey.size()) == 0;
}

std::string WrapSessionKey(const platform::AesKey& session_key) {
  platform::Aes128 cipher(FixedKey);
  return AesEncryptBytes(cipher, KeyBytes(session_key));
}

std::optional<platform::AesKey> UnwrapSessionKey(std::string_view message) {
  std::optional<std::string> plain = OpenMessage(message);
  if (!plain) return std::nullopt;
  platform::AesKey key{};
  std::copy(plain->begin(), plain->end(), key.begin());
  OPENSSL_cleanse(plain->data(), plain->size());
  return key;
}

}  // namespace kavor2::xmlrpc
