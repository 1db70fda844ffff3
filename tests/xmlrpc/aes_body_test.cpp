#include "xmlrpc/aes_body.h"

#include <gtest/gtest.h>

#include "platform/base64.h"
#include "platform/errors.h"
#include "xmlrpc/session_key.h"

namespace kavor2::xmlrpc {
namespace {

const platform::AesKey kKey = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

std::string Pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(0xA0 + i);
  return s;
}

platform::AesBlock BlockAt(const std::string& data, std::size_t offset) {
  platform::AesBlock b{};
  for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(data[offset + i]);
  return b;
}

TEST(AesBody, LastBlockCarriesTheCountAndZeros) {
  platform::Aes128 cipher(kKey);
  struct Case {
    std::size_t plain;
    std::size_t cipher;
  };
  for (Case c : {Case{0, 16}, Case{1, 16}, Case{15, 16}, Case{16, 32}, Case{17, 32}, Case{40, 48}}) {
    const std::string plain = Pattern(c.plain);
    const std::string data = AesEncryptBytes(cipher, plain);
    ASSERT_EQ(data.size(), c.cipher) << c.plain;
    // The last block, decrypted by the block function alone: the rest of the
    // plaintext, zeros, and the count in the final byte.
    platform::AesBlock last = cipher.DecryptBlock(BlockAt(data, data.size() - 16));
    const std::size_t rest = c.plain % 16;
    EXPECT_EQ(last[15], rest);
    for (std::size_t i = 0; i < rest; ++i) EXPECT_EQ(char(last[i]), plain[c.plain - rest + i]);
    for (std::size_t i = rest; i < 15; ++i) EXPECT_EQ(last[i], 0) << c.plain;
    EXPECT_EQ(AesDecryptBytes(cipher, data), plain);
    // Bytes after the last whole block are ignored.
    EXPECT_EQ(AesDecryptBytes(cipher, data + "xyz"), plain);
  }
}

// A default view points nowhere; it is still the empty plaintext.
TEST(AesBody, EmptyViewWithoutStorageIsOneCountBlock) {
  platform::Aes128 cipher(kKey);
  const std::string data = AesEncryptBytes(cipher, std::string_view());
  ASSERT_EQ(data.size(), 16u);
  EXPECT_EQ(AesDecryptBytes(cipher, data), "");
  EXPECT_EQ(DecodeAesBody(cipher, EncodeAesBody(cipher, std::string_view())), "\r\n");
}

TEST(AesBody, MalformedCipherTextIsInvalidFileFormat) {
  platform::Aes128 cipher(kKey);
  platform::AesBlock bad_count{};
  bad_count[15] = 16;  // a count no block can hold
  platform::AesBlock enc = cipher.EncryptBlock(bad_count);
  const std::string bad(enc.begin(), enc.end());
  for (const std::string& data : {std::string(), std::string(15, 'x'), bad}) {
    try {
      AesDecryptBytes(cipher, data);
      ADD_FAILURE() << "accepted " << data.size() << " bytes";
    } catch (const platform::ConversionError& e) {
      EXPECT_STREQ(e.what(), "Invalid file format");
    }
  }
}

TEST(AesBody, WireFormDropsAndRestoresTheLineEnd) {
  platform::Aes128 cipher(kKey);
  const std::string doc = "<?xml version=\"1.0\"?>\r\n<methodCall/>\r\n";
  const std::string body = EncodeAesBody(cipher, doc);
  ASSERT_GE(body.size(), 2u);
  EXPECT_EQ(body.substr(body.size() - 2), "\r\n");
  const std::string sent = body.substr(0, body.size() - 2);
  EXPECT_EQ(sent.find_first_of("\r\n"), std::string::npos);
  // What is encrypted is the document without its final CR LF.
  EXPECT_EQ(AesDecryptBytes(cipher, platform::Base64DecodeStrict(sent)), doc.substr(0, doc.size() - 2));
  EXPECT_EQ(DecodeAesBody(cipher, body), doc);

  try {
    DecodeAesBody(cipher, "AAAA AAAA\r\n");
    ADD_FAILURE();
  } catch (const platform::ConversionError& e) {
    EXPECT_STREQ(e.what(), "Invalid Base64 Character");
  }
}

TEST(SessionKey, ProofAndKeyRoundTrip) {
  const std::string proof = MakeKeyProof();
  ASSERT_EQ(proof.size(), kKeyExchangeMessageSize);
  EXPECT_TRUE(IsValidKeyProof(proof));
  // The proof is the FixedKey under itself; its first block is the block
  // function applied to the key.
  platform::Aes128 fixed(FixedKey);
  platform::AesBlock first = fixed.EncryptBlock(FixedKey);
  EXPECT_EQ(proof.substr(0, 16), std::string(first.begin(), first.end()));

  std::string wrong = proof;
  wrong[3] ^= 1;
  EXPECT_FALSE(IsValidKeyProof(wrong));
  EXPECT_FALSE(IsValidKeyProof(proof.substr(0, 31)));
  EXPECT_FALSE(IsValidKeyProof(std::string(32, '\0')));
  // A valid cipher text of another 16 bytes is no proof either.
  EXPECT_FALSE(IsValidKeyProof(WrapSessionKey(kKey)));

  std::optional<platform::AesKey> back = UnwrapSessionKey(WrapSessionKey(kKey));
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, kKey);
  EXPECT_FALSE(UnwrapSessionKey(AesEncryptBytes(fixed, "short")));
}

}  // namespace
}  // namespace kavor2::xmlrpc
