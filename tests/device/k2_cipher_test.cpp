#include "device/k2_cipher.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdint>
#include <vector>

#include "device/k2_header.h"
#include "device/key_exchange.h"
#include "test_bytes.h"

namespace kavor2::device {
namespace {

using test::Hex;
using test::HexArray;

const platform::AesKey kKey = HexArray<16>("2B7E151628AED2A6ABF7158809CF4F3C");
const platform::AesBlock kIv = HexArray<16>("000102030405060708090A0B0C0D0E0F");

std::vector<std::uint8_t> Payload(std::size_t n) {
  std::vector<std::uint8_t> bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(0xA5 ^ (i * 7));
  return bytes;
}

// OpenSSL's own CFB128, independent of the code under test.
std::vector<std::uint8_t> EvpCfb(const std::vector<std::uint8_t>& in, bool encrypt) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  std::vector<std::uint8_t> out(in.size() + 16);
  int len = 0;
  int total = 0;
  EXPECT_EQ(EVP_CipherInit_ex(ctx, EVP_aes_128_cfb128(), nullptr, kKey.data(), kIv.data(), encrypt ? 1 : 0), 1);
  EXPECT_EQ(EVP_CipherUpdate(ctx, out.data(), &len, in.data(), static_cast<int>(in.size())), 1);
  total = len;
  EXPECT_EQ(EVP_CipherFinal_ex(ctx, out.data() + total, &len), 1);
  total += len;
  EVP_CIPHER_CTX_free(ctx);
  out.resize(static_cast<std::size_t>(total));
  return out;
}

platform::AesBlock EvpBlock(const platform::AesBlock& in) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  platform::AesBlock out{};
  int len = 0;
  EXPECT_EQ(EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, kKey.data(), nullptr), 1);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  EXPECT_EQ(EVP_EncryptUpdate(ctx, out.data(), &len, in.data(), static_cast<int>(in.size())), 1);
  EVP_CIPHER_CTX_free(ctx);
  return out;
}

// The mask of the authentication code, from the ciphertext alone: the
// register after the last block is its ciphertext bytes followed by the
// rest of that block's key stream.
std::uint32_t ExpectedTagMask(const std::vector<std::uint8_t>& cipher) {
  platform::AesBlock reg = kIv;
  if (!cipher.empty()) {
    const std::size_t last = (cipher.size() - 1) / 16 * 16;
    platform::AesBlock previous = kIv;
    if (last > 0) std::copy(cipher.begin() + last - 16, cipher.begin() + last, previous.begin());
    const platform::AesBlock stream = EvpBlock(previous);
    reg = stream;
    std::copy(cipher.begin() + last, cipher.end(), reg.begin());
  }
  const platform::AesBlock tag = EvpBlock(reg);
  return tag[0] | tag[1] << 8 | tag[2] << 16 | static_cast<std::uint32_t>(tag[3]) << 24;
}

TEST(K2Cipher, CfbMatchesOpenSslWithAShortLastBlock) {
  const platform::Aes128 aes(kKey);
  for (std::size_t n : {0, 1, 15, 16, 17, 31, 32, 33, 232}) {
    SCOPED_TRACE(n);
    const std::vector<std::uint8_t> plain = Payload(n);
    const TCfbResult encrypted = CfbTransform(aes, kIv, plain, TCfbDirection::Encrypt);
    EXPECT_EQ(encrypted.Output, EvpCfb(plain, true));
    EXPECT_EQ(encrypted.TagMask, ExpectedTagMask(encrypted.Output));

    const TCfbResult decrypted = CfbTransform(aes, kIv, encrypted.Output, TCfbDirection::Decrypt);
    EXPECT_EQ(decrypted.Output, plain);
    EXPECT_EQ(decrypted.TagMask, encrypted.TagMask);
  }
}

TEST(K2Cipher, KnownVector) {
  // The first block is the published CFB128-AES128 example (SP 800-38A
  // F.3.13); the two bytes after it are a short last block.
  const platform::Aes128 aes(kKey);
  const auto plain = Hex("6BC1BEE22E409F96E93D7E117393172A AE2D");
  const TCfbResult encrypted = CfbTransform(aes, kIv, plain, TCfbDirection::Encrypt);
  ASSERT_EQ(encrypted.Output.size(), plain.size());
  EXPECT_EQ(std::vector<std::uint8_t>(encrypted.Output.begin(), encrypted.Output.begin() + 16),
            Hex("3B3FD92EB72DAD20333449F8E83CFB4A"));
  EXPECT_EQ(std::vector<std::uint8_t>(encrypted.Output.begin() + 16, encrypted.Output.end()), Hex("C8A6"));
}

TEST(K2Cipher, CheckSumCountsHeaderAndLittleEndianGroups) {
  const auto payload = Hex("01 02 03 04 05");
  const std::uint32_t expected = 3u + 256u * 0xF6u + 65536u * 0x12u + 0x04030201u + 0x05u;
  EXPECT_EQ(PayloadCheckSum(DataPackage, pfEncrypted | pfWorkingKey | pfSync | pfAckRequest, 0x12, payload), expected);
  // The address bits count as set either way.
  EXPECT_EQ(PayloadCheckSum(DataPackage, 0x36 | kAddressFlags, 0x12, payload), expected);
  // Modulo 2^32.
  EXPECT_EQ(PayloadCheckSum(0, 0, 0, Hex("FFFFFFFF FFFFFFFF")), 0xC000u + 0xFFFFFFFEu);
  EXPECT_EQ(PayloadCheckSum(1, 0, 0xFF, {}), 1u + 0xC000u + 0xFF0000u);
}

TEST(K2Cipher, CounterReconstruction) {
  struct Case {
    std::uint32_t expected;
    std::uint8_t key_number;
    std::uint32_t counter;
  };
  const Case cases[] = {
      {0x1FE, 0x03, 0x203},         // the low byte wrapped
      {0x1FE, 0xFF, 0x1FF},         // one ahead
      {0x1FE, 0xFE, 0x1FE},         // as expected
      {0xFFFFFFF0, 0x01, 0x1},      // wrapped past 2^32
      {0xFFFFFFFF, 0xFE, 0xFE},     // a stale number is taken as 255 ahead
      {0xFFFFFF00, 0xFF, 0xFFFFFFFF},
      {0, 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReconstructCounter(c.expected, c.key_number), c.counter) << std::hex << c.expected;
  }
}

TEST(K2Cipher, WorkCounterNeverStepsBackALittleForTheSameKey) {
  EXPECT_EQ(MergeWorkCounter(false, 1000, 5), 5u);    // a new key takes its counter
  EXPECT_EQ(MergeWorkCounter(true, 1000, 1200), 1200u);
  EXPECT_EQ(MergeWorkCounter(true, 1000, 990), 1000u);  // 10 back: stays
  EXPECT_EQ(MergeWorkCounter(true, 1000, 872), 1000u);  // 128 back: stays
  EXPECT_EQ(MergeWorkCounter(true, 1000, 871), 871u);   // 129 back: taken
  EXPECT_EQ(MergeWorkCounter(true, 1000, 800), 800u);
}

// A header that only holds fields, for packet-level encryption.
struct FieldsOnly : IK2HeaderOwner {
  DeviceId HeaderDeviceId() const override { return {1, 2, 3, 4, 5, 6}; }
  DeviceId HeaderLineAddress() const override { return {9, 8, 7, 6, 5, 4}; }
  bool HeaderSenderOnWire() const override { return true; }
  bool HeaderReceiverOnWire() const override { return true; }
  std::uint8_t TakeServicePNum() override { return 7; }
  std::uint8_t DataPNum() const override { return 7; }
  std::uint32_t TxKeyCounter(bool) const override { return 0x01020304; }
  std::uint32_t RxKeyCounter(bool) const override { return 0x01020300; }
};

TEST(K2Cipher, AuthenticationCodeCoversTypeFlagsAndNumber) {
  FieldsOnly owner;
  TK2Header header(&owner);
  header.DType = DataPackage;
  header.Flags = pfEncrypted | pfWorkingKey | pfAckRequest | kAddressFlags;
  std::vector<std::uint8_t> packet;
  ASSERT_TRUE(header.WriteHeader(packet));
  const platform::Aes128 aes(kKey);
  const auto plain = Payload(17);
  AppendEncryptedPayload(aes, header, plain, packet);
  ASSERT_EQ(packet.size(), kFixedHeaderSize + 2 * kAddressSize + kKeyNumberSize + 17 + kAuthCodeSize);
  std::uint32_t auth = 0;
  for (std::size_t i = 0; i < 4; ++i) auth |= static_cast<std::uint32_t>(packet[packet.size() - 4 + i]) << (8 * i);
  const std::vector<std::uint8_t> cipher(packet.end() - 4 - 17, packet.end() - 4);

  auto decrypts = [&](TK2Header h) {
    h.AuthCode = auth;
    std::vector<std::uint8_t> payload = cipher;
    const bool ok = DecryptPayload(aes, h, header.KeyCounter, payload);
    return ok && payload == plain;
  };
  EXPECT_TRUE(decrypts(header));

  TK2Header other = header;
  other.Flags = static_cast<TK2PacketFlags>(header.Flags & ~kAddressFlags);
  EXPECT_TRUE(decrypts(other)) << "the address bits do not count";

  for (TK2PacketFlags bit : {pfEncrypted, pfWorkingKey, pfResync, pfSync, pfAckRequest}) {
    other = header;
    other.Flags = static_cast<TK2PacketFlags>(header.Flags ^ bit);
    EXPECT_FALSE(decrypts(other)) << int{bit};
  }
  other = header;
  other.PNum ^= 0x80;
  EXPECT_FALSE(decrypts(other));
  other = header;
  other.DType = DataReceipt;
  EXPECT_FALSE(decrypts(other));
  other = header;
  other.SenderAddress[0] ^= 1;
  EXPECT_FALSE(decrypts(other)) << "the addresses are in the initial block";
  std::vector<std::uint8_t> payload = cipher;
  EXPECT_FALSE(DecryptPayload(aes, [&] { TK2Header h = header; h.AuthCode = auth; return h; }(),
                              header.KeyCounter + 1, payload))
      << "another counter";
}

TEST(K2Cipher, AuthCodesCompareEqualOnlyWhenEqual) {
  EXPECT_TRUE(AuthCodesEqual(0xDEADBEEF, 0xDEADBEEF));
  EXPECT_FALSE(AuthCodesEqual(0xDEADBEEF, 0xDEADBEEE));
  EXPECT_FALSE(AuthCodesEqual(0x00000000, 0x80000000));
}

}  // namespace
}  // namespace kavor2::device
