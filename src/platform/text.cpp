#include "platform/text.h"

#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "platform/errors.h"

namespace kavor2::platform {
namespace {

constexpr std::uint8_t kUnknownCp1252 = 0xBF;
constexpr char kUnknownCp1251 = '?';
constexpr std::uint32_t kReplacement = 0xFFFD;

// Unicode code points of bytes 0x80..0xFF; 0 marks an unassigned byte.
constexpr std::array<std::uint16_t, 128> kCp1251High = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};

// Windows passes the five C1 codes it leaves unassigned through unchanged.
constexpr std::array<std::uint16_t, 128> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
    0x00A0, 0x00A1, 0x00A2, 0x00A3, 0x00A4, 0x00A5, 0x00A6, 0x00A7,
    0x00A8, 0x00A9, 0x00AA, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x00AF,
    0x00B0, 0x00B1, 0x00B2, 0x00B3, 0x00B4, 0x00B5, 0x00B6, 0x00B7,
    0x00B8, 0x00B9, 0x00BA, 0x00BB, 0x00BC, 0x00BD, 0x00BE, 0x00BF,
    0x00C0, 0x00C1, 0x00C2, 0x00C3, 0x00C4, 0x00C5, 0x00C6, 0x00C7,
    0x00C8, 0x00C9, 0x00CA, 0x00CB, 0x00CC, 0x00CD, 0x00CE, 0x00CF,
    0x00D0, 0x00D1, 0x00D2, 0x00D3, 0x00D4, 0x00D5, 0x00D6, 0x00D7,
    0x00D8, 0x00D9, 0x00DA, 0x00DB, 0x00DC, 0x00DD, 0x00DE, 0x00DF,
    0x00E0, 0x00E1, 0x00E2, 0x00E3, 0x00E4, 0x00E5, 0x00E6, 0x00E7,
    0x00E8, 0x00E9, 0x00EA, 0x00EB, 0x00EC, 0x00ED, 0x00EE, 0x00EF,
    0x00F0, 0x00F1, 0x00F2, 0x00F3, 0x00F4, 0x00F5, 0x00F6, 0x00F7,
    0x00F8, 0x00F9, 0x00FA, 0x00FB, 0x00FC, 0x00FD, 0x00FE, 0x00FF,
};

// Decodes one UTF-8 sequence at text[pos], advancing pos; malformed input
// yields kReplacement and skips one byte.
std::uint32_t NextCodePoint(std::string_view text, std::size_t& pos) {
  auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  std::uint8_t b0 = byte(pos);
  if (b0 < 0x80) {
    ++pos;
    return b0;
  }
  int extra = 0;
  std::uint32_t cp = 0;
  std::uint32_t min = 0;
  if ((b0 & 0xE0) == 0xC0) {
    extra = 1, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    extra = 2, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    extra = 3, cp = b0 & 0x07, min = 0x10000;
  } else {
    ++pos;
    return kReplacement;
  }
  if (pos + extra >= text.size()) {
    ++pos;
    return kReplacement;
  }
  for (int i = 1; i <= extra; ++i) {
    std::uint8_t b = byte(pos + i);
    if ((b & 0xC0) != 0x80) {
      ++pos;
      return kReplacement;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  pos += extra + 1;
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return kReplacement;
  return cp;
}


int FindHigh(const std::array<std::uint16_t, 128>& table, std::uint32_t cp) {
  if (cp == 0) return -1;
  for (std::size_t i = 0; i < table.size(); ++i) {
    if (table[i] == cp) return static_cast<int>(0x80 + i);
  }
  return -1;
}

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

}  // namespace

void AppendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string Utf8ToCp1251(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t pos = 0; pos < utf8.size();) {
    std::uint32_t cp = NextCodePoint(utf8, pos);
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else {
      int b = FindHigh(kCp1251High, cp);
      out += b < 0 ? kUnknownCp1251 : static_cast<char>(b);
    }
  }
  return out;
}

std::string Cp1251ToUtf8(std::string_view cp1251) {
  std::string out;
  out.reserve(cp1251.size() * 2);
  for (char c : cp1251) {
    auto b = static_cast<std::uint8_t>(c);
    if (b < 0x80) {
      out += c;
    } else {
      std::uint32_t cp = kCp1251High[b - 0x80];
      AppendUtf8(out, cp == 0 ? kReplacement : cp);
    }
  }
  return out;
}

std::uint8_t CodePointToCp1252(std::uint32_t code_point) {
  if (code_point < 0x80) return static_cast<std::uint8_t>(code_point);
  int b = FindHigh(kCp1252High, code_point);
  return b < 0 ? kUnknownCp1252 : static_cast<std::uint8_t>(b);
}

std::string Utf8ToCp1252(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t pos = 0; pos < utf8.size();) {
    out += static_cast<char>(CodePointToCp1252(NextCodePoint(utf8, pos)));
  }
  return out;
}

std::string UpperAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string LowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string UpperCp1251(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    auto b = static_cast<std::uint8_t>(c);
    if (b >= 'a' && b <= 'z') {
      b = static_cast<std::uint8_t>(b - 'a' + 'A');
    } else if (b >= 0xE0) {  // а..я
      b = static_cast<std::uint8_t>(b - 0x20);
    } else if (b == 0xB8) {  // ё
      b = 0xA8;
    } else if (b == 0xA2) {  // ў
      b = 0xA1;
    } else if (b == 0xB3) {  // і
      b = 0xB2;
    } else if (b == 0xB4) {  // ґ
      b = 0xA5;
    } else if (b == 0xBA) {  // є
      b = 0xAA;
    } else if (b == 0xBF) {  // ї
      b = 0xAF;
    } else if (b == 0xBC) {  // ј
      b = 0xA3;
    } else if (b == 0xBE) {  // ѕ
      b = 0xBD;
    } else if (b == 0x83) {  // ѓ
      b = 0x81;
    } else if (b >= 0x90 && b <= 0x9F) {
      // ђ љ њ ќ ћ џ pair with Ђ Љ Њ Ќ Ћ Џ
      switch (b) {
        case 0x90: b = 0x80; break;
        case 0x9A: b = 0x8A; break;
        case 0x9C: b = 0x8C; break;
        case 0x9D: b = 0x8D; break;
        case 0x9E: b = 0x8E; break;
        case 0x9F: b = 0x8F; break;
        default: break;
      }
    }
    c = static_cast<char>(b);
  }
  return out;
}

bool EqualsNoCaseAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

std::string_view Trim(std::string_view text) {
  std::size_t b = 0, e = text.size();
  while (b < e && IsBlank(text[b])) ++b;
  while (e > b && IsBlank(text[e - 1])) --e;
  return text.substr(b, e - b);
}

std::int32_t StrToInt(std::string_view text) {
  auto fail = [&]() -> ConversionError {
    return ConversionError("'" + std::string(text) + "' is not a valid integer value");
  };
  std::string_view s = text;
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  bool negative = false;
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  int base = 10;
  if (!s.empty() && s.front() == '$') {
    base = 16;
    s.remove_prefix(1);
  } else if (s.size() > 1 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  if (s.empty()) throw fail();
  std::uint64_t value = 0;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value, base);
  if (ec != std::errc() || ptr != s.data() + s.size()) throw fail();
  if (base == 16 && !negative) {
    // Unsigned hex text is the bit pattern of the 32-bit value.
    if (value > std::numeric_limits<std::uint32_t>::max()) throw fail();
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
  }
  const std::uint64_t limit = negative ? 2147483648ull : 2147483647ull;
  if (value > limit) throw fail();
  return negative ? static_cast<std::int32_t>(-static_cast<std::int64_t>(value))
                  : static_cast<std::int32_t>(value);
}

double StrToFloat(std::string_view text, char decimal_separator) {
  auto fail = [&]() -> ConversionError {
    return ConversionError("'" + std::string(text) + "' is not a valid floating point value");
  };
  std::string_view t = Trim(text);
  if (t.empty()) throw fail();
  std::string s(t);
  if (decimal_separator != '.') {
    for (char& c : s) {
      if (c == '.') throw fail();
      if (c == decimal_separator) c = '.';
    }
  }
  if (!s.empty() && s.front() == '+') s.erase(0, 1);
  double value = 0;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value, std::chars_format::general);
  if (ec != std::errc() || ptr != s.data() + s.size() || !std::isfinite(value)) throw fail();
  return value;
}

}  // namespace kavor2::platform
