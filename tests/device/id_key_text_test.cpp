#include "device/id_key_text.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "device/fixed_keys.h"
#include "platform/errors.h"
#include "test_bytes.h"

namespace kavor2::device {
namespace {

using test::HexArray;

TEST(IdText, StoredOrderIsReversedInText) {
  const DeviceId stored = HexArray<6>("5E 4D 3C 2B 1A 00");
  EXPECT_EQ(IdToText(stored), "001A2B3C4D5E");
  EXPECT_EQ(ReverseId(TextToId("001a2b3c4d5e")), stored);
  EXPECT_EQ(TextToStoredId("001A2B3C4D5E"), stored);
  EXPECT_EQ(IdToText(NoId), "FFFFFFFFFFFF");
  EXPECT_TRUE(IdEquals(ReverseId(ReverseId(stored)), stored));
  EXPECT_FALSE(IdEquals(ReverseId(stored), stored));
}

TEST(IdText, EitherCaseInUpperCaseOut) {
  for (const char* text : {"0102030405ab", "0102030405AB", "0102030405aB"}) {
    EXPECT_EQ(IdToText(TextToStoredId(text)), "0102030405AB") << text;
  }
  EXPECT_EQ(IdToText(TextToStoredId("abcdefABCDEF")), "ABCDEFABCDEF");
}

TEST(TextToId, DecodesLeadingPairsAndRefusesBrokenOnes) {
  struct Case {
    const char* text;
    std::optional<DeviceId> expected;  // nullopt: range error
  };
  const Case cases[] = {
      {"0102", HexArray<6>("01 02 00 00 00 00")},
      {"01zz", HexArray<6>("01 00 00 00 00 00")},
      {"", DeviceId{}},
      {"zz01", DeviceId{}},
      {"0z", DeviceId{}},  // the pair is broken by a non-digit: decoding stops
      {"01:2", HexArray<6>("01 00 00 00 00 00")},
      {"01-1A", HexArray<6>("01 00 00 00 00 00")},
      {"0102030405AB", HexArray<6>("01 02 03 04 05 AB")},
      {"0102030405ABxyz", HexArray<6>("01 02 03 04 05 AB")},
      {"012", std::nullopt},
      {"0", std::nullopt},
      {"0102030405AB0", std::nullopt},
      {"0102030405AB01", std::nullopt},
  };
  for (const Case& c : cases) {
    if (c.expected) {
      EXPECT_EQ(TextToId(c.text), *c.expected) << c.text;
    } else {
      EXPECT_THROW(TextToId(c.text), platform::RangeError) << c.text;
    }
  }
}

TEST(HexText, LengthAndDigitsMustBothFit) {
  struct Case {
    const char* text;
    bool id;
    bool key;
  };
  const Case cases[] = {
      {"001a2b3c4d5e", true, false},
      {"001A2B3C4D5E", true, false},
      {"00-1A-2B-3C-4D", false, false},
      {"001A2B3C4D5", false, false},
      {"001A2B3C4D5G", false, false},
      {"001A2B3C4D5E ", false, false},
      {"", false, false},
      {"00112233445566778899aabbccddeeff", false, true},
      {"00112233445566778899AABBCCDDEEF", false, false},
      {"00112233445566778899AABBCCDDEEFF0", false, false},
      {"00112233445566778899AABBCCDDEEFX", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsIdText(c.text), c.id) << c.text;
    EXPECT_EQ(IsKeyText(c.text), c.key) << c.text;
  }
  EXPECT_TRUE(IsHexText(0, ""));
  EXPECT_EQ(HexDigitValue('f'), 15);
  EXPECT_EQ(HexDigitValue('F'), 15);
  EXPECT_EQ(HexDigitValue('9'), 9);
  for (char c : {'g', 'G', ':', '@', '`', '/', ' ', '\xC0'}) EXPECT_EQ(HexDigitValue(c), -1) << c;
}

TEST(KeyText, DecodesLeadingDigitsByHalfBytes) {
  struct Case {
    const char* text;
    std::optional<DeviceKey> expected;  // nullopt: range error
  };
  const Case cases[] = {
      {"", DefaultKey},
      {"A", HexArray<16>("A0 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00")},
      {"0a1B", HexArray<16>("0A 1B 00 00 00 00 00 00 00 00 00 00 00 00 00 00")},
      {"12x4", HexArray<16>("12 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00")},
      {"x", DeviceKey{}},
      {"00112233445566778899aabbccddeeff", HexArray<16>("00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF")},
      {"00112233445566778899aabbccddeeff-1", HexArray<16>("00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF")},
      {"00112233445566778899aabbccddeeff1", std::nullopt},
  };
  for (const Case& c : cases) {
    if (c.expected) {
      EXPECT_EQ(TextToKey(c.text), *c.expected) << c.text;
    } else {
      EXPECT_THROW(TextToKey(c.text), platform::RangeError) << c.text;
    }
  }
}

TEST(KeyText, RoundTripsInUpperCase) {
  const char* text = "00112233445566778899aabbccddeeff";
  EXPECT_EQ(KeyToText(TextToKey(text)), "00112233445566778899AABBCCDDEEFF");
  EXPECT_EQ(TextToKey(KeyToText(DefaultKey)), DefaultKey);
  EXPECT_TRUE(KeyEquals(TextToKey(KeyToText(FactoryKey)), FactoryKey));
  EXPECT_FALSE(KeyEquals(DefaultKey, FactoryKey));
  EXPECT_FALSE(KeyEquals(DefaultKey, DeviceKey{}));
}

TEST(MacText, DashedPairsAndZeroForAnEmptyAddress) {
  EXPECT_EQ(MacToText(HexArray<6>("00 1A 2B 3C 4D 5E")), "00-1A-2B-3C-4D-5E");
  EXPECT_EQ(MacToText({}), "00-00-00-00-00-00");
  EXPECT_EQ(LowNibble(0xA5), 0x05);
  EXPECT_EQ(HighNibble(0xA5), 0x0A);
}

}  // namespace
}  // namespace kavor2::device
