#pragma once
#include <string_view>

#include "xmlrpc/rpc_types.h"

namespace kavor2::xmlrpc {

// The item that LoadRawData appends: text converted by kind code (doubles
// with "." or ",", booleans as integer text or true/false, dates by position,
// strings escaped, base64 as is). Throws platform::ConversionError on
// malformed text and EXmlRpcError for a kind outside rdtDouble..rdtBase64.
TRpcCustomItem ItemFromRawText(TRpcDataType kind, std::string_view text);

}  // namespace kavor2::xmlrpc
