#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kavor2::xmlrpc {

// The error of this layer: kind mismatches on getters, copies of empty or
// error values, documents that exceed the parser limits.
class EXmlRpcError : public std::runtime_error {
 public:
  explicit EXmlRpcError(const std::string& message) : std::runtime_error(message) {}
};

// Value kinds. The numbers are part of the text-loading interface
// (LoadRawData) and must not change.
enum TRpcDataType : std::uint8_t {
  rdtDouble = 0,
  rdtInteger = 1,
  rdtString = 2,
  rdtBoolean = 3,
  rdtDateTime = 4,
  rdtBase64 = 5,
  rdtStruct = 6,
  rdtArray = 7,
  rdtError = 8,
  rdtNone = 9,
};

// A calendar date and a time of day in whole seconds; only whole seconds are
// ever written or read.
struct TRpcDateTime {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  friend bool operator==(const TRpcDateTime&, const TRpcDateTime&) = default;
};

// Values nested deeper than this (arrays and structs inside each other) are
// refused by both parsers, so that writing, copying and destroying a parsed
// value never recurses without bound.
inline constexpr int kMaxValueNesting = 64;

// The first line of every document this system writes.
inline constexpr std::string_view kXmlDeclaration =
    "<?xml version=\"1.0\" encoding=\"Windows-1251\" ?>\r\n";

// Stored form of a string value: NULs removed, then & < > " ' replaced by
// their entities ("&" first).
std::string EscapeXmlText(std::string_view text);
// Undoes EscapeXmlText: &lt; &gt; &quot; &apos; and last &amp;, each matched
// without regard to ASCII letter case.
std::string UnescapeXmlText(std::string_view text);

// Written forms of scalars. The double form has at most 15 significant
// digits and always "." as separator, independent of the process locale.
std::string IntegerToText(std::int32_t value);
std::string DoubleToText(double value);
// "yyyymmddThh:mm:ss".
std::string DateTimeToText(const TRpcDateTime& value);

// Reading scalars from text. All throw platform::ConversionError with a
// readable message on malformed text.
// Accepts "." and "," as decimal separator.
double TextToDouble(std::string_view text);
// "0" or another integer text (non-zero is true), or true/false in any case.
bool TextToBoolean(std::string_view text);
// Characters taken by position: year 1-4, month 5-6, day 7-8, hour 10-11,
// minute 13-14, second 16-17 (1-based); separators are not looked at.
TRpcDateTime TextToDateTime(std::string_view text);

// Rewrites the empty string and value forms ("<string></string>",
// "<value></nil></value>", ...) to their "[NULL]" forms, ASCII case ignored.
std::string ApplyEmptyForms(std::string_view text);

// The text that a STRING element (or untyped VALUE) holds to say "empty".
inline constexpr std::string_view kNullText = "[NULL]";

}  // namespace kavor2::xmlrpc
