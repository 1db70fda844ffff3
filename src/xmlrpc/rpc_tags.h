#pragma once
#include <string>
#include <string_view>

#include "platform/text.h"
#include "xmlrpc/rpc_common.h"

// Tag names as the parsers compare them (trimmed, ASCII upper case).
namespace kavor2::xmlrpc {

inline constexpr std::string_view kTagMethodName = "METHODNAME";
inline constexpr std::string_view kTagParam = "PARAM";
inline constexpr std::string_view kTagParams = "PARAMS";
inline constexpr std::string_view kTagValue = "VALUE";
inline constexpr std::string_view kTagName = "NAME";
inline constexpr std::string_view kTagStruct = "STRUCT";
inline constexpr std::string_view kTagArray = "ARRAY";
inline constexpr std::string_view kTagString = "STRING";
inline constexpr std::string_view kTagInt = "INT";
inline constexpr std::string_view kTagI4 = "I4";
inline constexpr std::string_view kTagInt4 = "INT4";
inline constexpr std::string_view kTagDouble = "DOUBLE";
inline constexpr std::string_view kTagDateTime = "DATETIME.ISO8601";
inline constexpr std::string_view kTagBase64 = "BASE64";
inline constexpr std::string_view kTagBoolean = "BOOLEAN";

// The kind of value a typed element's tag names; rdtNone for any other tag.
// INT4 is known to the call parser only.
inline TRpcDataType ValueKindOfTag(std::string_view tag, bool accept_int4) {
  if (tag == kTagString) return rdtString;
  if (tag == kTagInt || tag == kTagI4 || (accept_int4 && tag == kTagInt4)) return rdtInteger;
  if (tag == kTagDouble) return rdtDouble;
  if (tag == kTagDateTime) return rdtDateTime;
  if (tag == kTagBase64) return rdtBase64;
  if (tag == kTagBoolean) return rdtBoolean;
  return rdtNone;
}

inline constexpr const char* kNestingTooDeep = "Values are nested too deeply";

inline std::string TagName(std::string_view raw) { return platform::UpperAscii(platform::Trim(raw)); }

// Empty or whitespace-only text carries no value.
inline bool IsBlankText(std::string_view text) { return platform::Trim(text).empty(); }

}  // namespace kavor2::xmlrpc
