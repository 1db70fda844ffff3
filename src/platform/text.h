#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace kavor2::platform {

// The system's texts are single-byte Windows-1251. Source files are UTF-8, so
// the fixed Russian texts are converted once with Cp1251 (characters outside
// Windows-1251 become '?').
std::string Utf8ToCp1251(std::string_view utf8);
std::string Cp1251ToUtf8(std::string_view cp1251);
// Appends one code point (at most 0x10FFFF) as UTF-8.
void AppendUtf8(std::string& out, std::uint32_t cp);

// The Windows-1252 byte for a Unicode code point, or 0xBF ("inverted question
// mark") when the character is not in that repertoire.
std::uint8_t CodePointToCp1252(std::uint32_t code_point);

// UTF-8 text to single bytes of the Windows-1252 repertoire; characters outside
// it and malformed sequences become 0xBF.
std::string Utf8ToCp1252(std::string_view utf8);

// Case mapping and trimming of single-byte text. The Ascii forms touch only
// A-Z/a-z; the Cp1251 forms also map Cyrillic letters.
std::string UpperAscii(std::string_view text);
std::string LowerAscii(std::string_view text);
std::string UpperCp1251(std::string_view text);
bool EqualsNoCaseAscii(std::string_view a, std::string_view b);
std::string_view Trim(std::string_view text);  // spaces and control characters

// Decimal conversions with the messages the system reports to clients.
// StrToInt accepts leading blanks, an optional sign, decimal digits, or hex
// written "$1F"/"0x1F"; anything else or a value outside 32 bits throws
// ConversionError("'<text>' is not a valid integer value").
std::int32_t StrToInt(std::string_view text);
// StrToFloat reads a decimal number with the given separator (and optional
// exponent); throws ConversionError("'<text>' is not a valid floating point value").
double StrToFloat(std::string_view text, char decimal_separator = '.');

}  // namespace kavor2::platform
