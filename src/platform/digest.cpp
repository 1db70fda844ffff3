#include "platform/digest.h"

#include <openssl/evp.h>

#include <memory>
#include <stdexcept>

#include "platform/base64.h"

namespace kavor2::platform {

Md5Digest Md5(std::string_view bytes) {
  Md5Digest digest{};
  unsigned int len = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &len, EVP_md5(), nullptr) != 1 ||
      len != digest.size()) {
    throw std::runtime_error("MD5 digest failed");
  }
  return digest;
}

std::string Md5Base64(std::string_view bytes) {
  Md5Digest d = Md5(bytes);
  return Base64Encode(std::string_view(reinterpret_cast<const char*>(d.data()), d.size()));
}

}  // namespace kavor2::platform
