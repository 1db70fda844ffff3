#include "xmlrpc/http_response.h"

#include "xmlrpc/content_md5.h"

namespace kavor2::xmlrpc {
namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kStatusLine = "HTTP/1.1 200 OK";
constexpr std::string_view kKeepAlive = "Connection: Keep-Alive";
constexpr std::string_view kLengthName = "Content-Length: ";
constexpr std::string_view kXmlType = "Content-Type: text/xml";
constexpr std::string_view kTextType = "Content-Type: text/plain";
constexpr std::string_view kMd5Name = "Content-MD5: ";
// Clients have always seen two spaces after the colon on XML responses and
// one on the help page.
constexpr std::string_view kXmlServerLine = "Server:  TerskXMLRPC/1.10 (Windows NT) KAVOR-TERSK v1.10";
constexpr std::string_view kTextServerLine = "Server: TerskXMLRPC/1.10 (Windows NT) KAVOR-TERSK v1.10";

constexpr std::string_view kHelpIntro =
    "Tersk XML RPC Server received the following request without a XML RPC command:";
constexpr std::string_view kHelpBlankLine = "\r\n\r\n";
constexpr std::string_view kHelpUrl = "Current URL is: ";
constexpr std::string_view kHelpMethods =
    "For information about web-service use XML RPC calls system.listMethods";
constexpr std::string_view kHelpMethods2 = "  system.methodSignature and system.methodHelp";
constexpr std::string_view kHelpWsdl = "In web browser use /wsdl in URL";

void AddLine(std::string& out, std::string_view a, std::string_view b = {}) {
  out.append(a);
  out.append(b);
  out.append(kCrLf);
}

}  // namespace

std::string BuildXmlResponse(std::string_view body) {
  std::string out;
  out.reserve(body.size() + 256);
  AddLine(out, kStatusLine);
  AddLine(out, kKeepAlive);
  AddLine(out, kLengthName, std::to_string(body.size()));
  AddLine(out, kXmlType);
  AddLine(out, kMd5Name, TCalcMd5Class::Digest(body));
  AddLine(out, kXmlServerLine);
  out.append(kCrLf);
  out.append(body);
  return out;
}

std::string BuildHelpText(const HttpRequestHead& head) {
  std::string out;
  out.append(kHelpIntro);
  out.append(kHelpBlankLine);
  out.append(head.RawLines());
  out.append(kHelpBlankLine);
  out.append(kHelpUrl);
  out.append(head.Url().value_or(std::string()));
  out.append(kHelpBlankLine);
  out.append(kHelpMethods);
  out.append(kCrLf);
  out.append(kHelpMethods2);
  out.append(kCrLf);
  out.append(kHelpWsdl);
  return out;
}

std::string BuildHelpResponse(std::string_view help_text) {
  std::string out;
  AddLine(out, kStatusLine);
  AddLine(out, kKeepAlive);
  AddLine(out, kLengthName, std::to_string(help_text.size()));
  AddLine(out, kTextType);
  AddLine(out, kTextServerLine);
  out.append(kCrLf);
  out.append(help_text);
  return out;
}

}  // namespace kavor2::xmlrpc
