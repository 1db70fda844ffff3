#include "xmlrpc/aes_body.h"

#include <algorithm>
#include <cstring>

#include "platform/base64.h"
#include "platform/errors.h"

namespace kavor2::xmlrpc {
namespace {

constexpr std::size_t kBlock = 16;
constexpr std::size_t kCountByte = kBlock - 1;
constexpr std::size_t kLineEndLength = 2;  // CR LF
constexpr std::string_view kLineEnd = "\r\n";
constexpr const char* kInvalidFormat = "Invalid file format";

platform::AesBlock LoadBlock(std::string_view bytes, std::size_t offset) {
  platform::AesBlock b{};
  std::memcpy(b.data(), bytes.data() + offset, kBlock);
  return b;
}

std::string_view WithoutLineEnd(std::string_view text) {
  return text.substr(0, text.size() - std::min(text.size(), kLineEndLength));
}

}  // namespace

std::string AesEncryptBytes(const platform::Aes128& cipher, std::string_view plain) {
  const std::size_t whole = plain.size() / kBlock * kBlock;
  std::string out;
  out.reserve(whole + kBlock);
  for (std::size_t i = 0; i < whole; i += kBlock) {
    platform::AesBlock c = cipher.EncryptBlock(LoadBlock(plain, i));
    out.append(reinterpret_cast<const char*>(c.data()), c.size());
  }
  platform::AesBlock last{};
  const std::size_t rest = plain.size() - whole;
  // An empty view may have no storage at all, and memcpy from null is
  // undefined even for no bytes.
  if (rest > 0) std::memcpy(last.data(), plain.data() + whole, rest);
  last[kCountByte] = static_cast<std::uint8_t>(rest);
  platform::AesBlock c = cipher.EncryptBlock(last);
  out.append(reinterpret_cast<const char*>(c.data()), c.size());
  return out;
}

std::string AesDecryptBytes(const platform::Aes128& cipher, std::string_view data) {
  if (data.size() < kBlock) throw platform::ConversionError(kInvalidFormat);
  const std::size_t blocks = data.size() / kBlock;
  std::string out;
  out.reserve(blocks * kBlock);
  for (std::size_t i = 0; i + 1 < blocks; ++i) {
    platform::AesBlock p = cipher.DecryptBlock(LoadBlock(data, i * kBlock));
    out.append(reinterpret_cast<const char*>(p.data()), p.size());
  }
  platform::AesBlock last = cipher.DecryptBlock(LoadBlock(data, (blocks - 1) * kBlock));
  const std::size_t count = last[kCountByte];
  if (count > kCountByte) throw platform::ConversionError(kInvalidFormat);
  out.append(reinterpret_cast<const char*>(last.data()), count);
  return out;
}

std::string EncodeAesBody(const platform::Aes128& cipher, std::string_view text) {
  std::string body = platform::Base64Encode(AesEncryptBytes(cipher, WithoutLineEnd(text)));
  body += kLineEnd;
  return body;
}

std::string DecodeAesBody(const platform::Aes128& cipher, std::string_view body) {
  std::string text = AesDecryptBytes(cipher, platform::Base64DecodeStrict(WithoutLineEnd(body)));
  text += kLineEnd;
  return text;
}

}  // namespace kavor2::xmlrpc
