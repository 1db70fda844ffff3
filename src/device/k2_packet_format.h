#pragma once
// Layout facts of the K2 packet and of the frames it carries. Packet:
//
//   0      Length       whole packet, this byte and the CRC included
//   1      Version<<4 | DType
//   2      Flags        TK2PacketFlags
//   3      PNum
//   [6]    SenderAddress     if pfSenderAddress
//   [6]    ReceiverAddress   if pfReceiverAddress
//   [1]    KeyNumber         if pfEncrypted
//   n      Payload           (ciphertext of the same length if pfEncrypted)
//   [4]    AuthCode          if pfEncrypted
//   2      CRC-16, low byte first
//
// Multi-byte integers are little-endian throughout.
#include <cstddef>
#include <cstdint>

#include "device/id_key_text.h"

namespace kavor2::device {

// ---- Packet ---------------------------------------------------------------

inline constexpr std::size_t kOffsetLength = 0;
inline constexpr std::size_t kOffsetVersionType = 1;
inline constexpr std::size_t kOffsetFlags = 2;
inline constexpr std::size_t kOffsetPNum = 3;
inline constexpr std::size_t kFixedHeaderSize = 4;

inline constexpr std::size_t kAddressSize = kIdSize;
inline constexpr std::size_t kKeyNumberSize = 1;
inline constexpr std::size_t kAuthCodeSize = 4;
inline constexpr std::size_t kCrcSize = 2;

inline constexpr std::size_t kMinPacketLength = kFixedHeaderSize + kCrcSize;
inline constexpr std::size_t kMaxPacketLength = 255;

inline constexpr std::uint8_t kK2Version = 1;
inline constexpr int kVersionShift = 4;
inline constexpr std::uint8_t kDTypeMask = 0x0F;

// The packet type, the low nibble of byte 1. Values 4 to 15 are undefined.
enum TK2PacketType : std::uint8_t {
  ServiceReceipt = 0,
  ServicePackage = 1,
  DataReceipt = 2,
  DataPackage = 3,
};

// The flags byte, one bit per flag.
using TK2PacketFlags = std::uint8_t;
inline constexpr TK2PacketFlags pfEncrypted = 0x02;
inline constexpr TK2PacketFlags pfWorkingKey = 0x04;
inline constexpr TK2PacketFlags pfResync = 0x08;
inline constexpr TK2PacketFlags pfSync = 0x10;
inline constexpr TK2PacketFlags pfAckRequest = 0x20;
inline constexpr TK2PacketFlags pfReceiverAddress = 0x40;
inline constexpr TK2PacketFlags pfSenderAddress = 0x80;
// Bit 0 has no meaning: this system never sends it and drops it on receipt.
inline constexpr TK2PacketFlags kDefinedFlagsMask = 0xFE;
inline constexpr TK2PacketFlags kAddressFlags = pfSenderAddress | pfReceiverAddress;

// Largest payload a packet can carry with the given optional fields; 249 with
// none, 232 with both addresses and encryption, 244 encrypted without
// addresses.
constexpr std::size_t MaxPayload(bool sender_address, bool receiver_address, bool encrypted) {
  return kMaxPacketLength - kFixedHeaderSize - kCrcSize - (sender_address ? kAddressSize : 0) -
         (receiver_address ? kAddressSize : 0) - (encrypted ? kKeyNumberSize + kAuthCodeSize : 0);
}

// ---- Frames ---------------------------------------------------------------
// Every payload except a receipt's is a sequence of frames, each starting
// with a length byte that counts itself.

inline constexpr std::size_t kFrameOffsetLength = 0;
inline constexpr std::size_t kFrameOffsetFType = 1;
inline constexpr std::size_t kFrameOffsetCommand = 2;
inline constexpr std::size_t kFrameOffsetArgument = 3;
inline constexpr std::size_t kMaxFrameLength = 255;

// FType, byte 1 of the first frame of a service packet.
enum TK2FrameType : std::uint8_t {
  ftCommand = 1,        // protocol command; byte 2 is the command code
  ftStreamCommand = 3,  // command in the service stream
  ftServiceStream = 4,  // opaque data for the host
};

// Command codes of ftCommand frames.
enum TK2Command : std::uint8_t {
  cmdMasterKeyCounterRequest = 1,
  cmdMasterKeyCounter = 2,
  cmdWorkingKeyAssignment = 3,
  cmdLogicalDisconnect = 5,
  cmdRoutesRequest = 8,
  cmdRoute = 9,
  cmdStatusWord = 10,
  cmdProfileRequest = 11,
  cmdProfile = 12,
};

// Frame lengths fixed by the command layouts.
inline constexpr std::uint8_t kCommandFrameLength = 3;             // L 01 cmd
inline constexpr std::uint8_t kMasterKeyCounterFrameLength = 7;    // + u32
inline constexpr std::uint8_t kStatusWordFrameLength = 4;          // + status byte
inline constexpr std::uint8_t kWorkingKeyFrameLength = 32;
inline constexpr std::uint8_t kRoutesRequestBaseLength = 4;        // L 01 08 T
inline constexpr std::uint8_t kAnswerRequestedFlag = 0x01;         // working key answer flags, bit 0

// Sub-device address types of the route commands, and their address sizes.
enum TK2AddressType : std::uint8_t {
  atAll = 0,      // routes request only: every route, no address
  atSixByte = 1,
  atOneByte = 2,
  atTwoByte = 3,
};
constexpr std::size_t SubDeviceAddressSize(std::uint8_t type) {
  switch (type) {
    case atSixByte: return kIdSize;
    case atOneByte: return 1;
    case atTwoByte: return 2;
    default: return 0;
  }
}

// Subscriber data request: a 7-byte frame whose byte 1 carries
// ftStreamCommand in its low six bits and whose byte 4 is 0x0D; bytes 2-3
// are the subscriber number.
inline constexpr std::uint8_t kSubscriberRequestFrameLength = 7;
inline constexpr std::uint8_t kSubscriberRequestTypeMask = 0x3F;
inline constexpr std::size_t kSubscriberRequestOffsetNumber = 2;
inline constexpr std::size_t kSubscriberRequestOffsetMarker = 4;
inline constexpr std::uint8_t kSubscriberRequestMarker = 0x0D;

// ---- Receipts -------------------------------------------------------------
// Payload: a code byte (0 positive), then tagged items to the end.

inline constexpr std::uint8_t kReceiptPositive = 0;
inline constexpr std::uint8_t kReceiptFTypeUndefined = 2;
inline constexpr std::uint8_t kReceiptNotAllowed = 5;
inline constexpr std::uint8_t kReceiptNoConnection = 6;
inline constexpr std::uint8_t kReceiptMasterAuthFailed = 7;

inline constexpr std::uint8_t kReceiptTagResend = 0xFD;           // no value
inline constexpr std::uint8_t kReceiptTagPeerParameter = 0xFE;    // u16
inline constexpr std::uint8_t kReceiptTagFramesPerPacket = 0xFF;  // u8
// What this system announces in every receipt it sends.
inline constexpr std::uint8_t kMaxFramesPerPacket = 0xFF;

// ---- Profile --------------------------------------------------------------
// The profile bits this system chooses (the low bit of each pair) and those
// the device reports about itself.

inline constexpr std::uint8_t kProfileBit0 = 0x01;
inline constexpr std::uint8_t kProfileGetEvent = 0x02;
inline constexpr std::uint8_t kProfileDeviceBit2 = 0x04;
inline constexpr std::uint8_t kProfileDeviceBit3 = 0x08;
inline constexpr std::uint8_t kProfileBit4 = 0x10;
inline constexpr std::uint8_t kProfileGetCmd = 0x20;
inline constexpr std::uint8_t kProfileDeviceBit6 = 0x40;
// Set by the device's status word: data may be sent to the device.
inline constexpr std::uint8_t kProfileDataAllowed = 0x80;
inline constexpr std::uint8_t kInitialProfile = kProfileBit0 | kProfileBit4;

}  // namespace kavor2::device
