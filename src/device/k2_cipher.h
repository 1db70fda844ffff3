#pragma once
// Encryption and authentication of K2 payloads: AES-128 in 128-bit cipher
// feedback with a short last block (the ciphertext is as long as the plain
// payload), a 32-bit check sum over header and payload, and an
// authentication code that masks the check sum with one more block of key
// stream. Counters travel as their low byte only; the receiver rebuilds the
// full value from the one it expects.
//
// Everything here is pure: the caller loads the AES engine with the key the
// packet's flags select and passes in the addresses and counter.
#include <cstdint>
#include <span>
#include <vector>

#include "device/id_key_text.h"
#include "device/k2_packet_format.h"
#include "platform/aes128.h"

namespace kavor2::device {

class TK2Header;

inline constexpr std::size_t kCipherBlockSize = 16;
// The largest key counter; the next increment wraps to 0.
inline constexpr std::uint32_t kMaxKeyCounter = 0xFFFFFFFF;

// Initial block of a packet: sender address, receiver address, counter
// (little-endian).
platform::AesBlock PacketIv(const DeviceId& sender, const DeviceId& receiver, std::uint32_t counter);

// The check sum the authentication code protects: the header part (type,
// flags with both address bits forced on, PNum) plus the plain payload
// summed as little-endian 32-bit groups, the last one zero-padded; modulo
// 2^32.
std::uint32_t PayloadCheckSum(std::uint8_t dtype, TK2PacketFlags flags, std::uint8_t pnum,
                              std::span<const std::uint8_t> plain);

enum class TCfbDirection : std::uint8_t { Encrypt, Decrypt };

struct TCfbResult {
  std::vector<std::uint8_t> Output;  // as long as the input
  // The first four bytes, little-endian, of E(key, R) for the feedback
  // register R after the last block: the mask of the authentication code.
  std::uint32_t TagMask = 0;
};

// The one place the cipher mode lives. Each step encrypts the register,
// XORs up to 16 input bytes with it and feeds the 16-byte ciphertext block
// back; after a short last block the register holds its n ciphertext bytes
// followed by 16 - n bytes of key stream. Temporary blocks are wiped.
TCfbResult CfbTransform(const platform::Aes128& aes, const platform::AesBlock& iv,
                        std::span<const std::uint8_t> input, TCfbDirection direction);

// Authentication code of a payload: the check sum XOR the tag mask.
inline std::uint32_t AuthCodeOf(std::uint32_t check_sum, std::uint32_t tag_mask) { return check_sum ^ tag_mask; }

// Compares two authentication codes without a data-dependent early exit.
bool AuthCodesEqual(std::uint32_t a, std::uint32_t b);

// The full counter of a received packet from the counter the receiver
// expects and the packet's key number: the low byte is the key number, and
// when it is below the expected low byte the counter has wrapped past the
// next multiple of 256 (modulo 2^32).
std::uint32_t ReconstructCounter(std::uint32_t expected, std::uint8_t key_number);

// Encrypts `plain` for the header just written (DType, Flags, PNum, both
// addresses and KeyCounter as they stand) and appends the ciphertext and the
// authentication code to `packet`. The engine must hold the sending key.
void AppendEncryptedPayload(const platform::Aes128& aes, const TK2Header& header,
                            std::span<const std::uint8_t> plain, std::vector<std::uint8_t>& packet);

// Replaces the ciphertext in `payload` by the plain bytes, for the header
// just read (DType, Flags, PNum, both addresses and AuthCode) and the full
// counter of the packet; returns whether the authentication code matches.
// The plain bytes are left in place either way.
bool DecryptPayload(const platform::Aes128& aes, const TK2Header& header, std::uint32_t counter,
                    std::vector<std::uint8_t>& payload);

// Overwrites bytes so that the compiler cannot drop the store.
void WipeBytes(std::span<std::uint8_t> bytes);

}  // namespace kavor2::device
