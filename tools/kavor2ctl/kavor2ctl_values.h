#pragma once
// Typed command-line arguments and readable printing of results.
#include <stdexcept>
#include <string>
#include <string_view>

#include "xmlrpc/rpc_types.h"

namespace kavor2::ctl {

// A command-line argument that cannot be read as the value it asks for.
class UsageError : public std::runtime_error {
 public:
  explicit UsageError(const std::string& message) : std::runtime_error(message) {}
};

// Adds one argument to a call: "i:5" int, "b:true"/"b:1" boolean,
// "d:1.5" double, "s:text" string; anything else is a string as it stands.
// Strings are taken as UTF-8 and sent in Windows-1251. Throws UsageError for
// a malformed number or boolean.
void AddTypedArgument(xmlrpc::TRpcFunction& call, std::string_view argument);

// A value as indented text for a terminal, in UTF-8: scalars on one line,
// arrays item by item ("[0] ..."), structs member by member ("Name: ...").
std::string FormatValue(const xmlrpc::TRpcCustomItem& value, int indent = 0);

}  // namespace kavor2::ctl
