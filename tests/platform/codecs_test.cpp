#include <gtest/gtest.h>

#include <string>

#include "platform/aes128.h"
#include "platform/base64.h"
#include "platform/digest.h"
#include "platform/errors.h"
#include "platform/guid.h"

namespace kavor2::platform {
namespace {

TEST(Base64, LinesBreakAfter57InputBytesWithoutTrailingBreak) {
  EXPECT_EQ(Base64EncodeLines(""), "");
  std::string one_line = Base64EncodeLines(std::string(57, 'a'));
  EXPECT_EQ(one_line.size(), 76u);
  EXPECT_EQ(one_line.find('\r'), std::string::npos);
  std::string two_lines = Base64EncodeLines(std::string(58, 'a'));
  ASSERT_EQ(two_lines.size(), 76u + 2 + 4);
  EXPECT_EQ(two_lines.substr(76, 2), "\r\n");
  EXPECT_EQ(two_lines.substr(78), "YQ==");
}

TEST(Base64, RoundTripsAllByteValuesAndPadding) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  for (std::size_t n : {0u, 1u, 2u, 3u, 4u, 255u, 256u}) {
    std::string in = all.substr(0, n);
    EXPECT_EQ(Base64DecodeStrict(Base64Encode(in)), in) << n;
    EXPECT_EQ(Base64DecodeLenient(Base64EncodeLines(in)), in) << n;
  }
  EXPECT_EQ(Base64Encode("Man"), "TWFu");
  EXPECT_EQ(Base64Encode("Ma"), "TWE=");
  EXPECT_EQ(Base64Encode("M"), "TQ==");
}

TEST(Base64, LenientSkipsForeignCharactersAndKeepsPartialGroups) {
  EXPECT_EQ(Base64DecodeLenient("TW\r\nFu IA = ="), "Man ");
  EXPECT_EQ(Base64DecodeLenient("TWE"), "Ma");   // 3 characters give 2 bytes
  EXPECT_EQ(Base64DecodeLenient("TQ"), "M");     // 2 characters give 1 byte
}

TEST(Base64, StrictRefusesCharactersOutsideTheAlphabet) {
  for (const char* bad : {"TW\r\nFu", "TW Fu", "TWF~", "TW:u"}) {
    try {
      Base64DecodeStrict(bad);
      ADD_FAILURE() << bad;
    } catch (const ConversionError& e) {
      EXPECT_STREQ(e.what(), "Invalid Base64 Character");
    }
  }
}

TEST(Md5, KnownVectorsAndContentMd5Text) {
  // RFC 1321 test suite.
  EXPECT_EQ(Md5Base64(""), Base64Encode(std::string("\xd4\x1d\x8c\xd9\x8f\x00\xb2\x04\xe9\x80\x09\x98\xec\xf8\x42\x7e", 16)));
  Md5Digest abc = Md5("abc");
  EXPECT_EQ(abc[0], 0x90);
  EXPECT_EQ(abc[15], 0x72);
  EXPECT_EQ(Md5Base64("abc").size(), 24u);
}

TEST(Aes128, Fips197AppendixCVector) {
  AesKey key{};
  AesBlock plain{};
  for (int i = 0; i < 16; ++i) {
    key[i] = static_cast<std::uint8_t>(i);
    plain[i] = static_cast<std::uint8_t>(i * 0x11);
  }
  const AesBlock expected = {0x69, 0xc4, 0xe0, 0xd8, 0x6a, 0x7b, 0x04, 0x30,
                             0xd8, 0xcd, 0xb7, 0x80, 0x70, 0xb4, 0xc5, 0x5a};
  Aes128 aes(key);
  EXPECT_EQ(aes.EncryptBlock(plain), expected);
  EXPECT_EQ(aes.DecryptBlock(expected), plain);
  // The same object keeps working block after block (no hidden chaining).
  EXPECT_EQ(aes.EncryptBlock(plain), expected);
}

TEST(Guid, TextFormRoundTripsAndUsesBinaryLayout) {
  Guid g;
  for (int i = 0; i < 16; ++i) g.bytes[i] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(GuidToText(g), "{03020100-0504-0706-0809-0A0B0C0D0E0F}");
  auto back = TextToGuid("{03020100-0504-0706-0809-0a0b0c0d0e0f}");
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, g);
  for (const char* bad : {"", "03020100-0504-0706-0809-0A0B0C0D0E0F", "{03020100-0504-0706-0809-0A0B0C0D0E0G}",
                          "{0302010005040706080A0B0C0D0E0F00000}", "{03020100-0504-0706-0809+0A0B0C0D0E0F}"}) {
    EXPECT_FALSE(TextToGuid(bad)) << bad;
  }
}

TEST(Guid, NewGuidsAreVersion4AndDistinct) {
  Guid a = NewGuid(), b = NewGuid();
  EXPECT_NE(a, b);
  EXPECT_FALSE(a.IsNull());
  std::string text = GuidToText(a);
  EXPECT_EQ(text.size(), 38u);
  EXPECT_EQ(text[15], '4');
  EXPECT_NE(std::string("89AB").find(text[20]), std::string::npos);
  EXPECT_TRUE(Guid{}.IsNull());
}

}  // namespace
}  // namespace kavor2::platform
