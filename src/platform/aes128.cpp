#include "platform/aes128.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <stdexcept>

namespace kavor2::platform {

struct Aes128::Contexts {
  EVP_CIPHER_CTX* enc = EVP_CIPHER_CTX_new();
  EVP_CIPHER_CTX* dec = EVP_CIPHER_CTX_new();
  ~Contexts() {
    EVP_CIPHER_CTX_free(enc);
    EVP_CIPHER_CTX_free(dec);
  }
};

Aes128::Aes128(const AesKey& key) : ctx_(std::make_unique<Contexts>()) {
  if (!ctx_->enc || !ctx_->dec) throw std::runtime_error("AES context allocation failed");
  SetKey(key);
}

Aes128::~Aes128() = default;

void Aes128::SetKey(const AesKey& key) {
  // One ECB block at a time without padding is exactly the block function.
  if (EVP_EncryptInit_ex(ctx_->enc, EVP_aes_128_ecb(), nullptr, key.data(), nullptr) != 1 ||
      EVP_DecryptInit_ex(ctx_->dec, EVP_aes_128_ecb(), nullptr, key.data(), nullptr) != 1) {
    throw std::runtime_error("AES key setup failed");
  }
  EVP_CIPHER_CTX_set_padding(ctx_->enc, 0);
  EVP_CIPHER_CTX_set_padding(ctx_->dec, 0);
}

AesBlock Aes128::EncryptBlock(const AesBlock& in) const {
  AesBlock out{};
  int len = 0;
  if (EVP_EncryptUpdate(ctx_->enc, out.data(), &len, in.data(), static_cast<int>(in.size())) != 1 ||
      len != static_cast<int>(out.size())) {
    throw std::runtime_error("AES encryption failed");
  }
  return out;
}

AesBlock Aes128::DecryptBlock(const AesBlock& in) const {
  AesBlock out{};
  int len = 0;
  if (EVP_DecryptUpdate(ctx_->dec, out.data(), &len, in.data(), static_cast<int>(in.size())) != 1 ||
      len != static_cast<int>(out.size())) {
    throw std::runtime_error("AES decryption failed");
  }
  return out;
}

}  // namespace kavor2::platform
