#pragma once
#include <string>
#include <string_view>

#include "platform/text.h"

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

inline constexpr const char* kNestingTooDeep = "Values are nested too deeply";

inline std::string TagName(std::string_view raw) { return platform::UpperAscii(platform::Trim(raw)); }

// Empty or whitespace-only text carries no value.
inline bool IsBlankText(std::string_view text) { return platform::Trim(text).empty(); }

}  // namespace kavor2::xmlrpc
