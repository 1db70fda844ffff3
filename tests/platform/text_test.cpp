#include <gtest/gtest.h>

#include "platform/errors.h"
#include "platform/text.h"

namespace kavor2::platform {
namespace {

TEST(Cp1251, RussianTextsConvertBothWays) {
  // "Вкл" and "ё№" in Windows-1251.
  EXPECT_EQ(Utf8ToCp1251("Вкл  : "), "\xC2\xEA\xEB  : ");
  EXPECT_EQ(Utf8ToCp1251("ё№Ё"), "\xB8\xB9\xA8");
  EXPECT_EQ(Cp1251ToUtf8("\xC2\xEA\xEB"), "Вкл");
  EXPECT_EQ(Utf8ToCp1251("€ü"), "\x88?");  // ü is not in Windows-1251
  EXPECT_EQ(Utf8ToCp1251("a\xFF" "b"), "a?b");  // malformed UTF-8
}

TEST(Cp1252, ForeignCharactersBecomeInvertedQuestionMark) {
  EXPECT_EQ(CodePointToCp1252('A'), 'A');
  EXPECT_EQ(CodePointToCp1252(0x20AC), 0x80);
  EXPECT_EQ(CodePointToCp1252(0xE9), 0xE9);
  EXPECT_EQ(CodePointToCp1252(1055), 0xBF);  // a Cyrillic letter
  EXPECT_EQ(CodePointToCp1252(0x1F600), 0xBF);
  EXPECT_EQ(Utf8ToCp1252("Caf\xC3\xA9 \xD0\x9F"), "Caf\xE9 \xBF");
  // Windows-1251 bytes read as UTF-8 do not survive.
  EXPECT_EQ(Utf8ToCp1252("\xC2\xEA\xEB"), "\xBF\xBF\xBF");
}

TEST(CaseAndTrim, AsciiAndCyrillic) {
  EXPECT_EQ(UpperAscii("AddLine\xE0"), "ADDLINE\xE0");
  EXPECT_EQ(LowerAscii("/PORT=X"), "/port=x");
  EXPECT_EQ(UpperCp1251("add\xE0\xFF\xB8"), "ADD\xC0\xDF\xA8");
  EXPECT_TRUE(EqualsNoCaseAscii("faultCode", "FAULTCODE"));
  EXPECT_FALSE(EqualsNoCaseAscii("faultCode", "faultCod"));
  EXPECT_EQ(Trim("  \t x y \r\n"), "x y");
  EXPECT_EQ(Trim("   "), "");
}

TEST(StrToInt, AcceptsDelphiFormsAndRefusesTheRest) {
  struct Case {
    const char* text;
    std::int32_t value;
  };
  for (const Case& c : {Case{"0", 0}, Case{"42", 42}, Case{"  7", 7}, Case{"-5", -5}, Case{"+5", 5},
                        Case{"2147483647", 2147483647}, Case{"-2147483648", -2147483647 - 1},
                        Case{"$1F", 31}, Case{"0x10", 16}, Case{"$FFFFFFFF", -1}}) {
    EXPECT_EQ(StrToInt(c.text), c.value) << c.text;
  }
  for (const char* bad : {"", " ", "7 ", "abc", "1.5", "2147483648", "-2147483649", "--1", "$", "0x"}) {
    try {
      StrToInt(bad);
      ADD_FAILURE() << bad;
    } catch (const ConversionError& e) {
      EXPECT_EQ(e.what(), "'" + std::string(bad) + "' is not a valid integer value");
    }
  }
}

TEST(StrToFloat, SeparatorIsTheCallersChoice) {
  EXPECT_DOUBLE_EQ(StrToFloat("0.5"), 0.5);
  EXPECT_DOUBLE_EQ(StrToFloat(" 1E20 "), 1e20);
  EXPECT_DOUBLE_EQ(StrToFloat("-2,25", ','), -2.25);
  EXPECT_THROW(StrToFloat("2.25", ','), ConversionError);
  for (const char* bad : {"", "abc", "1.2.3", "1e999", "nan", "inf"}) {
    EXPECT_THROW(StrToFloat(bad), ConversionError) << bad;
  }
}

}  // namespace
}  // namespace kavor2::platform
