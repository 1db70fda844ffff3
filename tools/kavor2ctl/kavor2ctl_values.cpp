#include "kavor2ctl/kavor2ctl_values.h"

#include <charconv>
#include <cstdint>
#include <cstdio>

#include "platform/text.h"

namespace kavor2::ctl {
namespace {

std::int32_t ParseInt(std::string_view text, std::string_view argument) {
  std::int32_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
    throw UsageError("not a 32-bit integer: " + std::string(argument));
  }
  return value;
}

double ParseDouble(std::string_view text, std::string_view argument) {
  double value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
    throw UsageError("not a number: " + std::string(argument));
  }
  return value;
}

bool ParseBool(std::string_view text, std::string_view argument) {
  const std::string lowered = platform::LowerAscii(text);
  if (lowered == "true" || lowered == "1") return true;
  if (lowered == "false" || lowered == "0") return false;
  throw UsageError("not a boolean (true, false, 1, 0): " + std::string(argument));
}

std::string Pad(int indent) { return std::string(static_cast<std::size_t>(indent) * 2, ' '); }

std::string Scalar(const xmlrpc::TRpcCustomItem& value) {
  switch (value.DataType()) {
    case xmlrpc::rdtString: return platform::Cp1251ToUtf8(value.AsString());
    case xmlrpc::rdtInteger: return std::to_string(value.AsInteger());
    case xmlrpc::rdtBoolean: return value.AsBoolean() ? "true" : "false";
    case xmlrpc::rdtDouble: {
      char buffer[64];
      std::snprintf(buffer, sizeof buffer, "%g", value.AsFloat());
      return buffer;
    }
    case xmlrpc::rdtBase64: return "base64:" + value.AsBase64Raw();
    case xmlrpc::rdtNone: return "(empty)";
    default: return "(" + platform::Cp1251ToUtf8(value.AsRawString()) + ")";
  }
}

bool IsContainer(const xmlrpc::TRpcCustomItem& value) { return value.IsArray() || value.IsStruct(); }

}  // namespace

void AddTypedArgument(xmlrpc::TRpcFunction& call, std::string_view argument) {
  auto typed = [&](std::string_view prefix) { return argument.starts_with(prefix); };
  if (typed("i:")) {
    call.AddItem(ParseInt(argument.substr(2), argument));
  } else if (typed("b:")) {
    call.AddItem(ParseBool(argument.substr(2), argument));
  } else if (typed("d:")) {
    call.AddItem(ParseDouble(argument.substr(2), argument));
  } else if (typed("s:")) {
    call.AddItem(platform::Utf8ToCp1251(argument.substr(2)));
  } else {
    call.AddItem(platform::Utf8ToCp1251(argument));
  }
}

std::string FormatValue(const xmlrpc::TRpcCustomItem& value, int indent) {
  std::string out;
  if (value.IsArray()) {
    const auto& array = *value.AsArray();
    if (array.Count() == 0) return Pad(indent) + "(none)\n";
    for (int i = 0; i < array.Count(); ++i) {
      const auto& item = array.Items(i);
      out += Pad(indent) + "[" + std::to_string(i) + "]";
      out += IsContainer(item) ? "\n" + FormatValue(item, indent + 1) : " " + Scalar(item) + "\n";
    }
    return out;
  }
  if (value.IsStruct()) {
    const auto& members = *value.AsStruct();
    for (int i = 0; i < members.Count(); ++i) {
      const auto& item = members.Items(i);
      out += Pad(indent) + platform::Cp1251ToUtf8(members.Name(i)) + ":";
      out += IsContainer(item) ? "\n" + FormatValue(item, indent + 1) : " " + Scalar(item) + "\n";
    }
    return out;
  }
  return Pad(indent) + Scalar(value) + "\n";
}

}  // namespace kavor2::ctl
