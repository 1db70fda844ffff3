// The response parser on any bytes, with the empty forms rewritten (as the
// callback client reads) and as written.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string_view>

#include "xmlrpc/rpc_parsers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (bool empty_forms : {false, true}) {
    kavor2::xmlrpc::TRpcClientParser parser(empty_forms);
    try {
      parser.Parse(text);
    } catch (const std::exception&) {
      // Payload, conversion and limit errors are the caller's result.
    }
  }
  return 0;
}
