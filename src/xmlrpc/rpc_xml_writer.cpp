#include "xmlrpc/rpc_xml_writer.h"

#include <string_view>

namespace kavor2::xmlrpc::writer {
namespace {

constexpr std::string_view kCrLf = "\r\n";

std::string Wrap(std::string_view indent, std::string_view tag, std::string_view text) {
  std::string out(indent);
  out += "<value><";
  out += tag;
  out += '>';
  out += text;
  out += "</";
  out += tag;
  out += "></value>";
  return out;
}

}  // namespace

std::string ValueLine(const TRpcCustomItem& item, LineContext context) {
  const std::string_view indent = context == LineContext::kParameter ? "" : "      ";
  switch (item.DataType()) {
    case rdtDouble: return Wrap(indent, "double", DoubleToText(item.AsFloat()));
    case rdtInteger: return Wrap(indent, "int", IntegerToText(item.AsInteger()));
    case rdtString: return Wrap(indent, "string", item.AsRawString());
    case rdtBoolean: return Wrap(indent, "boolean", item.AsBoolean() ? "1" : "0");
    case rdtDateTime: return Wrap(indent, "dateTime.iso8601", DateTimeToText(item.AsDateTime()));
    case rdtBase64: {
      std::string out(indent);
      out += "<value><base64>";
      out += item.AsBase64Raw();
      // Array elements close the element on an indented position of their own.
      if (context == LineContext::kArrayElement) out += "      ";
      out += "</base64></value>";
      return out;
    }
    case rdtStruct: return item.AsStruct()->GetAsXML();
    case rdtArray: return item.AsArray()->GetAsXML();
    case rdtError:
    case rdtNone:
    default: return std::string();
  }
}

std::string ParamsBlock(const TRpcCustomArray& list) {
  std::string out = "   <params>\r\n";
  for (int i = 0; i < list.Count(); ++i) {
    out += "   <param>\r\n";
    const TRpcCustomItem& item = list.Items(i);
    if (item.DataType() != rdtError && item.DataType() != rdtNone) {
      out += ValueLine(item, LineContext::kParameter);
      out += kCrLf;
    }
    out += "   </param>\r\n";
  }
  out += "   </params>\r\n";
  return out;
}

}  // namespace kavor2::xmlrpc::writer
