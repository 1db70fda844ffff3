// The AES body cipher and its Base64 wire form, and the session-key
// messages, under fixed keys. Any bytes go through the decoders (a bad body
// may only throw the documented ConversionError), and through the encoders
// and back, which must give the bytes again. The first input byte picks the
// key the round trips use (the fixed exchange key or a key taken from the
// input); the rest is the data.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/aes128.h"
#include "platform/base64.h"
#include "platform/errors.h"
#include "xmlrpc/aes_body.h"
#include "xmlrpc/session_key.h"

namespace {

using kavor2::platform::Aes128;
using kavor2::platform::AesKey;
using kavor2::platform::ConversionError;
namespace xr = kavor2::xmlrpc;

constexpr AesKey kBodyKey = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
                             0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3C};
constexpr std::string_view kLineEnd = "\r\n";
constexpr std::size_t kBlock = 16;

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

AesKey KeyFrom(std::string_view bytes) {
  AesKey key = kBodyKey;
  std::copy_n(bytes.begin(), std::min(bytes.size(), key.size()), key.begin());
  return key;
}

// Arbitrary bytes as a wire body: may only fail with the documented error.
void DecodeAny(const Aes128& cipher, std::string_view data) {
  try {
    const std::string plain = xr::DecodeAesBody(cipher, data);
    Check(plain.size() >= kLineEnd.size() && plain.ends_with(kLineEnd));
    // Whatever decodes must survive its own way back through the cipher.
    Check(xr::DecodeAesBody(cipher, xr::EncodeAesBody(cipher, plain)) == plain);
  } catch (const ConversionError&) {
  }
  try {
    const std::string plain = xr::AesDecryptBytes(cipher, data);
    Check(plain.size() < (data.size() / kBlock) * kBlock);
  } catch (const ConversionError&) {
  }
  try {
    (void)kavor2::platform::Base64DecodeStrict(data);
  } catch (const ConversionError&) {
  }
  (void)kavor2::platform::Base64DecodeLenient(data);
  (void)xr::IsValidKeyProof(data);
  (void)xr::UnwrapSessionKey(data);
}

void RoundTrips(const Aes128& cipher, std::string_view data) {
  const std::string sealed = xr::AesEncryptBytes(cipher, data);
  Check(sealed.size() == (data.size() / kBlock + 1) * kBlock);
  Check(xr::AesDecryptBytes(cipher, sealed) == data);

  // The wire form leaves out the CR LF every document ends with and puts it
  // back; the body itself is one Base64 line ended by CR LF.
  const std::string document = std::string(data) + std::string(kLineEnd);
  const std::string body = xr::EncodeAesBody(cipher, document);
  Check(body.ends_with(kLineEnd) && body.find(kLineEnd) == body.size() - kLineEnd.size());
  Check(xr::DecodeAesBody(cipher, body) == document);

  const std::string wire = kavor2::platform::Base64Encode(data);
  Check(kavor2::platform::Base64DecodeStrict(wire) == data);
  Check(kavor2::platform::Base64DecodeLenient(wire) == data);
  Check(kavor2::platform::Base64DecodeLenient(kavor2::platform::Base64EncodeLines(data)) == data);

  const AesKey session = KeyFrom(data);
  const std::optional<AesKey> unwrapped = xr::UnwrapSessionKey(xr::WrapSessionKey(session));
  Check(unwrapped && *unwrapped == session);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool input_key = (data[0] & 1) != 0;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);

  const Aes128 body_cipher(kBodyKey);
  DecodeAny(body_cipher, rest);

  const Aes128 cipher(input_key ? KeyFrom(rest) : xr::FixedKey);
  RoundTrips(cipher, rest);
  return 0;
}
