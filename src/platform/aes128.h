#pragma once
#include <array>
#include <cstdint>
#include <memory>

namespace kavor2::platform {

using AesKey = std::array<std::uint8_t, 16>;
using AesBlock = std::array<std::uint8_t, 16>;

// The AES-128 block function (FIPS-197) under one key. Modes and padding are
// the callers' business. An object is used by one thread at a time; give each
// connection or device its own.
class Aes128 {
 public:
  explicit Aes128(const AesKey& key);
  ~Aes128();
  Aes128(const Aes128&) = delete;
  Aes128& operator=(const Aes128&) = delete;

  void SetKey(const AesKey& key);
  AesBlock EncryptBlock(const AesBlock& in) const;
  AesBlock DecryptBlock(const AesBlock& in) const;

 private:
  struct Contexts;
  std::unique_ptr<Contexts> ctx_;
};

}  // namespace kavor2::platform
