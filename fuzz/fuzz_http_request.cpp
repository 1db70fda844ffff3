// The server's request head, line by line as the connection splits it, and
// the AES body decoding under a fixed key. The input is the head up to the
// first empty line; what follows is the body.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string_view>

#include "platform/aes128.h"
#include "xmlrpc/aes_body.h"
#include "xmlrpc/http_request.h"

namespace {

constexpr kavor2::platform::AesKey kFuzzKey = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
                                               0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3C};
constexpr std::string_view kLineEnd = "\r\n";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);

  kavor2::xmlrpc::HttpRequestHead head;
  while (!rest.empty()) {
    const std::size_t end = rest.find(kLineEnd);
    const std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + kLineEnd.size());
    if (line.empty()) break;
    if (line.size() > kavor2::xmlrpc::kMaxHeaderLineLength) return 0;  // the server drops the connection
    head.AddLine(line);
  }
  (void)head.ContentLength();
  (void)head.RawLines().size();

  kavor2::platform::Aes128 cipher(kFuzzKey);
  try {
    const std::string plain = kavor2::xmlrpc::DecodeAesBody(cipher, rest);
    // Whatever decodes must survive its own way back through the cipher.
    if (kavor2::xmlrpc::DecodeAesBody(cipher, kavor2::xmlrpc::EncodeAesBody(cipher, plain)) != plain) {
      __builtin_trap();
    }
  } catch (const std::exception&) {
    // Bad Base64 or block layout: the server answers with a fault.
  }
  return 0;
}
