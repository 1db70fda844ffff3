// The call parser and the tokenizer on any bytes, and the response document
// of whatever the parser read.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string_view>

#include "xmlrpc/rpc_parsers.h"
#include "xmlrpc/rpc_types.h"
#include "xmlrpc/xml_tokenizer.h"

namespace {

// Touches every event so the sanitizers see each view the tokenizer hands out.
class SinkHandler : public kavor2::xmlrpc::XmlEventHandler {
 public:
  void OnStartTag(std::string_view name) override { Touch(name); }
  void OnEndTag(std::string_view name) override { Touch(name); }
  void OnText(std::string_view text) override { Touch(text); }
  std::size_t sum = 0;

 private:
  void Touch(std::string_view s) {
    for (char c : s) sum += static_cast<unsigned char>(c);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  SinkHandler sink;
  try {
    kavor2::xmlrpc::XmlTokenizer().Run(text, sink);
  } catch (const std::exception&) {
    // Entity limits: a refused document, not a fault.
  }

  kavor2::xmlrpc::TRpcServerParser parser;
  try {
    parser.Parse(text);
  } catch (const std::exception&) {
    return 0;
  }
  kavor2::xmlrpc::TRpcFunction function;
  try {
    // The server answers with the parameters it read; build that document.
    for (const auto& param : parser.Params()) {
      function.AddItem("");
      function.SetItems(function.Count() - 1, param);
    }
    (void)function.GetResponseXML();
  } catch (const std::exception&) {
    // Conversion errors on the way out become faults in the server.
  }
  return 0;
}
