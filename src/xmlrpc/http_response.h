#pragma once
#include <string>
#include <string_view>

#include "xmlrpc/http_request.h"

namespace kavor2::xmlrpc {

// The whole HTTP response carrying an XML-RPC body (already encrypted when
// the connection uses AES): status, keep-alive, length, type, the body's
// Content-MD5 and the server line, then the body. Faults are 200 OK too.
std::string BuildXmlResponse(std::string_view body);

// The text that answers a browser's GET: the request's header lines, its
// URL and where to look next.
std::string BuildHelpText(const HttpRequestHead& head);

// The whole HTTP response carrying the help text as text/plain.
std::string BuildHelpResponse(std::string_view help_text);

}  // namespace kavor2::xmlrpc
