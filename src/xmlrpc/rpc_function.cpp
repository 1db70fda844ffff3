#include "xmlrpc/rpc_parsers.h"
#include "xmlrpc/rpc_types.h"
#include "xmlrpc/rpc_xml_writer.h"

namespace kavor2::xmlrpc {

std::string TRpcFunction::GetRequestXML() const {
  std::string out(kXmlDeclaration);
  out += "<methodCall>\r\n";
  out += "  <methodName>" + object_method_ + "</methodName>\r\n";
  out += writer::ParamsBlock(*this);
  out += "</methodCall>\r\n";
  return out;
}

std::string TRpcFunction::GetResponseXML() const {
  if (error_code_ > 0) return GetErrorXML();
  std::string out(kXmlDeclaration);
  out += "<methodResponse>\r\n";
  out += writer::ParamsBlock(*this);
  out += "</methodResponse>\r\n";
  return out;
}

std::string TRpcFunction::GetErrorXML() const {
  std::string out(kXmlDeclaration);
  out += "<methodResponse>\r\n";
  out += "   <fault>\r\n";
  out += "      <value>\r\n";
  out += "        <struct>\r\n";
  out += "            <member>\r\n";
  out += "               <name>faultCode</name>\r\n";
  out += "               <value><int>" + IntegerToText(error_code_) + "</int></value>\r\n";
  out += "               </member>\r\n";
  out += "            <member>\r\n";
  out += "               <name>faultString</name>\r\n";
  out += "               <value><string>" + error_msg_ + "</string></value>\r\n";
  out += "               </member>\r\n";
  out += "            </struct>\r\n";
  out += "         </value>\r\n";
  out += "      </fault>\r\n";
  out += "   </methodResponse>\r\n";
  return out;
}

// Out of line: inlined with a literal, GCC 12 reports a false -Wrestrict.
void TRpcFunction::SetObjectMethod(std::string_view name) { object_method_ = name; }

void TRpcFunction::Clear() {
  TRpcCustomArray::Clear();
  error_code_ = 0;
  error_msg_.clear();
  object_method_.clear();
}

void TRpcFunction::SetError(std::int32_t code, std::string_view message) {
  Clear();
  error_code_ = code;
  error_msg_ = message;
}

void TRpcFunction::LoadRequestXML(std::string_view text) {
  TRpcServerParser parser;
  parser.Parse(text);  // throws before anything here changes
  Clear();
  object_method_ = parser.MethodName();
  for (const TRpcResult& param : parser.Params()) {
    // Parameters become plain items; their kind (also rdtError) is kept.
    Append() = static_cast<const TRpcCustomItem&>(param);
  }
}

}  // namespace kavor2::xmlrpc
