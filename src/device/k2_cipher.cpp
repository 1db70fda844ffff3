#include "device/k2_cipher.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <utility>

#include "device/byte_writer.h"
#include "device/k2_header.h"

namespace kavor2::device {
namespace {

constexpr std::size_t kSumGroupSize = 4;
constexpr TK2PacketFlags kCheckSumAddressBits = 0xC0;
constexpr int kCheckSumFlagsShift = 8;
constexpr int kCheckSumPNumShift = 16;
constexpr std::uint32_t kCounterLowByte = 0xFF;

std::uint32_t LittleEndianWord(std::span<const std::uint8_t> bytes) {
  std::uint32_t word = 0;
  for (std::size_t i = 0; i < std::min(bytes.size(), kSumGroupSize); ++i) {
    word |= static_cast<std::uint32_t>(bytes[i]) << (kByteBits * i);
  }
  return word;
}

}  // namespace

platform::AesBlock PacketIv(const DeviceId& sender, const DeviceId& receiver, std::uint32_t counter) {
  platform::AesBlock iv{};
  auto out = std::copy(sender.begin(), sender.end(), iv.begin());
  out = std::copy(receiver.begin(), receiver.end(), out);
  for (std::size_t i = 0; i < sizeof counter; ++i) {
    *out++ = static_cast<std::uint8_t>(counter >> (kByteBits * i));
  }
  return iv;
}

std::uint32_t PayloadCheckSum(std::uint8_t dtype, TK2PacketFlags flags, std::uint8_t pnum,
                              std::span<const std::uint8_t> plain) {
  // The address bits count as set whether or not the addresses travel, so
  // both line kinds compute the same code.
  std::uint32_t sum = dtype + (static_cast<std::uint32_t>(flags | kCheckSumAddressBits) << kCheckSumFlagsShift) +
                      (static_cast<std::uint32_t>(pnum) << kCheckSumPNumShift);
  for (std::size_t pos = 0; pos < plain.size(); pos += kSumGroupSize) {
    sum += LittleEndianWord(plain.subspan(pos));
  }
  return sum;
}

TCfbResult CfbTransform(const platform::Aes128& aes, const platform::AesBlock& iv,
                        std::span<const std::uint8_t> input, TCfbDirection direction) {
  TCfbResult result;
  result.Output.resize(input.size());
  platform::AesBlock reg = iv;
  for (std::size_t pos = 0; pos < input.size(); pos += kCipherBlockSize) {
    platform::AesBlock stream = aes.EncryptBlock(reg);
    const std::size_t n = std::min(kCipherBlockSize, input.size() - pos);
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint8_t in = input[pos + i];
      const std::uint8_t out = static_cast<std::uint8_t>(in ^ stream[i]);
      result.Output[pos + i] = out;
      // The register takes the ciphertext byte, whichever way we go.
      reg[i] = direction == TCfbDirection::Encrypt ? out : in;
    }
    // Past a short last block the register keeps the key stream itself
    // (the zero padding XOR the stream).
    for (std::size_t i = n; i < kCipherBlockSize; ++i) reg[i] = stream[i];
    WipeBytes(stream);
  }
  platform::AesBlock tag = aes.EncryptBlock(reg);
  result.TagMask = LittleEndianWord(tag);
  WipeBytes(tag);
  WipeBytes(reg);
  return result;
}

bool AuthCodesEqual(std::uint32_t a, std::uint32_t b) { return CRYPTO_memcmp(&a, &b, sizeof a) == 0; }

std::uint32_t ReconstructCounter(std::uint32_t expected, std::uint8_t key_number) {
  std::uint32_t counter = expected;
  if ((counter & kCounterLowByte) > key_number) counter = (counter | kCounterLowByte) + 1;
  return (counter & ~kCounterLowByte) | key_number;
}

void AppendEncryptedPayload(const platform::Aes128& aes, const TK2Header& header,
                            std::span<const std::uint8_t> plain, std::vector<std::uint8_t>& packet) {
  const platform::AesBlock iv = PacketIv(header.SenderAddress, header.ReceiverAddress, header.KeyCounter);
  TCfbResult cipher = CfbTransform(aes, iv, plain, TCfbDirection::Encrypt);
  AppendBytes(packet, cipher.Output);
  AppendU32(packet, AuthCodeOf(PayloadCheckSum(header.DType, header.Flags, header.PNum, plain), cipher.TagMask));
  cipher.TagMask = 0;
}

bool DecryptPayload(const platform::Aes128& aes, const TK2Header& header, std::uint32_t counter,
                    std::vector<std::uint8_t>& payload) {
  const platform::AesBlock iv = PacketIv(header.SenderAddress, header.ReceiverAddress, counter);
  TCfbResult plain = CfbTransform(aes, iv, payload, TCfbDirection::Decrypt);
  const std::uint32_t sum = PayloadCheckSum(header.DType, header.Flags, header.PNum, plain.Output);
  const bool ok = AuthCodesEqual(sum, AuthCodeOf(header.AuthCode, plain.TagMask));
  payload = std::move(plain.Output);
  plain.TagMask = 0;
  return ok;
}

void WipeBytes(std::span<std::uint8_t> bytes) { OPENSSL_cleanse(bytes.data(), bytes.size()); }

}  // namespace kavor2::device
