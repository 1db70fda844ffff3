#include "xmlrpc/rpc_common.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "platform/errors.h"
#include "platform/text.h"

namespace kavor2::xmlrpc {
namespace {

using platform::ConversionError;

constexpr int kSignificantDigits = 15;
// Plain notation is used from 1E-5 up to 15 integer digits.
constexpr int kMinPlainExponent = -5;
constexpr int kMaxPlainExponent = kSignificantDigits - 1;

// Replaces every occurrence of from (ASCII case ignored) by to.
std::string ReplaceAllNoCase(std::string_view text, std::string_view from, std::string_view to) {
  const std::string upper_text = platform::UpperAscii(text);
  const std::string upper_from = platform::UpperAscii(from);
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (true) {
    std::size_t hit = upper_text.find(upper_from, pos);
    if (hit == std::string::npos) break;
    out.append(text.substr(pos, hit - pos));
    out.append(to);
    pos = hit + from.size();
  }
  out.append(text.substr(pos));
  return out;
}

// Reads a field of digits only; -1 when it holds anything else.
int DigitField(std::string_view text, std::size_t first, std::size_t count) {
  int value = 0;
  for (std::size_t i = first; i < first + count; ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  constexpr std::array<int, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  constexpr int kFebruary = 2;
  return month == kFebruary && IsLeapYear(year) ? 29 : kDays[static_cast<std::size_t>(month - 1)];
}

void AppendPadded(std::string& out, int value, int width) {
  std::array<char, 16> buf{};
  auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), value);
  (void)ec;  // an int always fits
  auto len = static_cast<int>(end - buf.data());
  if (value >= 0) {
    for (int i = len; i < width; ++i) out += '0';
  }
  out.append(buf.data(), end);
}

}  // namespace

std::string EscapeXmlText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '\0': break;
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out += c; break;
    }
  }
  return out;
}

std::string UnescapeXmlText(std::string_view text) {
  // Whole-text passes in this order; "&amp;" last so nothing is undone twice.
  std::string s = ReplaceAllNoCase(text, "&lt;", "<");
  s = ReplaceAllNoCase(s, "&gt;", ">");
  s = ReplaceAllNoCase(s, "&quot;", "\"");
  s = ReplaceAllNoCase(s, "&apos;", "'");
  return ReplaceAllNoCase(s, "&amp;", "&");
}

std::string IntegerToText(std::int32_t value) {
  std::array<char, 16> buf{};
  auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), value);
  (void)ec;
  return std::string(buf.data(), end);
}

std::string DoubleToText(double value) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  if (value == 0) return "0";

  // d.dddddddddddddde[+-]x, correctly rounded to 15 significant digits.
  std::array<char, 64> buf{};
  auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), value,
                                 std::chars_format::scientific, kSignificantDigits - 1);
  (void)ec;  // 64 characters always suffice
  std::string_view sci(buf.data(), static_cast<std::size_t>(end - buf.data()));
  std::string out;
  if (sci.front() == '-') {
    out += '-';
    sci.remove_prefix(1);
  }
  const std::size_t e = sci.find('e');
  std::string digits(1, sci[0]);
  if (e > 2) digits.append(sci.substr(2, e - 2));
  std::string_view exp_text = sci.substr(e + 1);
  bool exp_negative = exp_text.front() == '-';
  int exponent = 0;
  std::from_chars(exp_text.data() + 1, exp_text.data() + exp_text.size(), exponent);
  if (exp_negative) exponent = -exponent;
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

  if (exponent > kMaxPlainExponent || exponent < kMinPlainExponent) {
    out += digits[0];
    if (digits.size() > 1) {
      out += '.';
      out.append(digits, 1);
    }
    out += 'E';
    if (exponent < 0) out += '-';
    out += std::to_string(std::abs(exponent));
  } else if (exponent >= 0) {
    auto int_len = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= int_len) {
      out += digits;
      out.append(int_len - digits.size(), '0');
    } else {
      out.append(digits, 0, int_len);
      out += '.';
      out.append(digits, int_len);
    }
  } else {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
  }
  return out;
}

std::string DateTimeToText(const TRpcDateTime& v) {
  std::string out;
  AppendPadded(out, v.year, 4);
  AppendPadded(out, v.month, 2);
  AppendPadded(out, v.day, 2);
  out += 'T';
  AppendPadded(out, v.hour, 2);
  out += ':';
  AppendPadded(out, v.minute, 2);
  out += ':';
  AppendPadded(out, v.second, 2);
  return out;
}

double TextToDouble(std::string_view text) {
  std::string normalised(text);
  for (char& c : normalised) {
    if (c == ',') c = '.';
  }
  try {
    return platform::StrToFloat(normalised, '.');
  } catch (const ConversionError&) {
    throw ConversionError("'" + std::string(text) + "' is not a valid floating point value");
  }
}

bool TextToBoolean(std::string_view text) {
  try {
    return platform::StrToInt(text) != 0;
  } catch (const ConversionError&) {
  }
  if (platform::EqualsNoCaseAscii(text, "true")) return true;
  if (platform::EqualsNoCaseAscii(text, "false")) return false;
  throw ConversionError("'" + std::string(text) + "' is not a valid boolean value");
}

TRpcDateTime TextToDateTime(std::string_view text) {
  // 1-based positions: yyyy mm dd ? hh ? nn ? ss
  constexpr std::size_t kMinLength = 17;
  auto fail = [&] { return ConversionError("'" + std::string(text) + "' is not a valid date and time"); };
  if (text.size() < kMinLength) throw fail();
  TRpcDateTime v;
  v.year = DigitField(text, 0, 4);
  v.month = DigitField(text, 4, 2);
  v.day = DigitField(text, 6, 2);
  v.hour = DigitField(text, 9, 2);
  v.minute = DigitField(text, 12, 2);
  v.second = DigitField(text, 15, 2);
  constexpr int kMaxHour = 23, kMaxMinute = 59, kMaxSecond = 59, kMonths = 12;
  if (v.year < 1 || v.month < 1 || v.month > kMonths || v.day < 1 || v.hour < 0 || v.hour > kMaxHour ||
      v.minute < 0 || v.minute > kMaxMinute || v.second < 0 || v.second > kMaxSecond) {
    throw fail();
  }
  if (v.day > DaysInMonth(v.year, v.month)) throw fail();
  return v;
}

std::string ApplyEmptyForms(std::string_view text) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 8> kForms = {{
      {"<string></string>", "<string>[NULL]</string>"},
      {"<string></nil></string>", "<string>[NULL]</string>"},
      {"<string></null></string>", "<string>[NULL]</string>"},
      {"<string> </string>", "<string>[NULL]</string>"},
      {"<value></value>", "<value>[NULL]</value>"},
      {"<value></nil></value>", "<value>[NULL]</value>"},
      {"<value></null></value>", "<value>[NULL]</value>"},
      {"<value> </value>", "<value>[NULL]</value>"},
  }};
  std::string out(text);
  for (const auto& [from, to] : kForms) out = ReplaceAllNoCase(out, from, to);
  return out;
}

}  // namespace kavor2::xmlrpc
