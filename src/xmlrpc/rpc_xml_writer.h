#pragma once
#include <string>

#include "xmlrpc/rpc_types.h"

// The fixed line layouts of written values; shared by arrays, structs and
// functions.
namespace kavor2::xmlrpc::writer {

// Where a value line stands: the layouts differ in indentation and in the
// closing of base64 elements.
enum class LineContext { kArrayElement, kStructMember, kParameter };

// The value line of an item (without line end), or "" for rdtError/rdtNone.
// Containers give their whole value block.
std::string ValueLine(const TRpcCustomItem& item, LineContext context);

// "   <params>" ... "   </params>" for the items of a list.
std::string ParamsBlock(const TRpcCustomArray& list);

}  // namespace kavor2::xmlrpc::writer
