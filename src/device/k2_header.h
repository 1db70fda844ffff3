#pragma once
// TK2Header: builds and parses the header of K2 packets for one device, and
// holds the header of the packet last built or parsed. It does no I/O and
// keeps no clock; what it needs from its device comes through
// IK2HeaderOwner.
#include <cstdint>
#include <span>
#include <vector>

#include "device/id_key_text.h"
#include "device/k2_packet_format.h"

namespace kavor2::device {

// The device side of a header: what builds and parses read from the device
// record, and the one number a build advances.
class IK2HeaderOwner {
 public:
  virtual ~IK2HeaderOwner() = default;
  // The device's ID in stored order: receiver of what this system sends,
  // sender of a received packet that names none.
  virtual DeviceId HeaderDeviceId() const = 0;
  // ReverseId of the line's OwnId: sender of what this system sends,
  // receiver of a received packet that names none.
  virtual DeviceId HeaderLineAddress() const = 0;
  // Whether this device's packets carry the sender / receiver address.
  virtual bool HeaderSenderOnWire() const = 0;
  virtual bool HeaderReceiverOnWire() const = 0;
  // TxServicePNum; the owner then advances it by one (255 wraps to 0).
  virtual std::uint8_t TakeServicePNum() = 0;
  // TxDataPNum, left unchanged.
  virtual std::uint8_t DataPNum() const = 0;
  // TxWorkCounter / TxMasterCounter, and the Rx counterparts.
  virtual std::uint32_t TxKeyCounter(bool working_key) const = 0;
  virtual std::uint32_t RxKeyCounter(bool working_key) const = 0;
};

enum TK2HeaderResult : std::uint8_t {
  hrOk,
  hrBadVersion,  // parsed in full; the version nibble is not 1
  hrTruncated,   // the flags name fields the packet is too short to hold
  hrNoDevice,    // the header belongs to no device; nothing was done
};

class TK2Header {
 public:
  static constexpr int kNoPNumOverride = -1;

  // owner may be null: such a header builds and parses nothing.
  explicit TK2Header(IK2HeaderOwner* owner) : owner_(owner) {}

  std::uint8_t Version = kK2Version;
  std::uint8_t DType = 0;
  TK2PacketFlags Flags = 0;
  // -1, or the PNum the next build uses instead of the automatic one.
  int PNumOverride = kNoPNumOverride;
  std::uint8_t Profile = kInitialProfile;
  std::uint8_t PNum = 0;
  std::uint8_t RawFlags = 0;
  DeviceId SenderAddress{};
  DeviceId ReceiverAddress{};
  std::uint8_t KeyNumber = 0;
  // The full counter used when sending; on receipt, the receiver's expected
  // counter, which the decryption completes from KeyNumber.
  std::uint32_t KeyCounter = 0;
  std::uint16_t LengthByte = 0;
  std::uint32_t AuthCode = 0;

  // Replaces the stream with the header of a packet to send: bytes 0 to 3
  // (length placeholder 0), the addresses and the key number, from DType and
  // Flags as set by the caller. Sets Version to 1, PNum (PNumOverride when
  // set, which it then clears; else the next service PNum for a
  // ServicePackage, TxDataPNum for a DataPackage, unchanged for receipts),
  // both addresses, and for an encrypted packet KeyCounter and KeyNumber.
  // An address flag that the device does not put on the wire is cleared in
  // Flags, so the wire never announces a field it lacks. Returns false,
  // touching nothing, when the header has no device.
  bool WriteHeader(std::vector<std::uint8_t>& stream);

  // Parses a whole received packet (length and CRC already checked) and
  // leaves only its payload, still encrypted, in the packet. Fills LengthByte,
  // Version, DType, RawFlags, Flags (bit 0 dropped), PNum, both addresses
  // (the device's ID and the line's address when absent), and for an
  // encrypted packet KeyNumber, KeyCounter (the expected Rx counter) and
  // AuthCode. hrTruncated empties the packet; the fields of bytes 0 to 3 are
  // filled when present.
  TK2HeaderResult ReadHeader(std::vector<std::uint8_t>& packet);

  // Writes the length byte (stream size + 2 for the CRC still to come) at
  // position 0. Throws platform::RangeError when the packet would exceed 255
  // bytes or the stream is empty; the stream is then unchanged.
  static void WriteLength(std::vector<std::uint8_t>& stream);
  // Appends the CRC-16 of the whole stream, low byte first.
  static void AppendCrc(std::vector<std::uint8_t>& stream);
  // WriteLength, then AppendCrc: the last step of every build.
  static void FinishPacket(std::vector<std::uint8_t>& stream);

  // Byte 0 equals the packet's size, which is at least the smallest packet.
  static bool CheckLength(std::span<const std::uint8_t> packet);
  // The CRC over the whole packet, CRC bytes included, is 0.
  static bool CheckCrc(std::span<const std::uint8_t> packet);

  // Fields of an unparsed packet, for reporting packets that fail earlier
  // checks; 0 when the packet is too short to hold them.
  static std::uint8_t PeekDType(std::span<const std::uint8_t> packet);
  static TK2PacketFlags PeekFlags(std::span<const std::uint8_t> packet);  // bit 0 dropped
  static std::uint8_t PeekPNum(std::span<const std::uint8_t> packet);

  std::uint8_t ProfileByte() const { return Profile; }

  // Merges a received status word into Profile: status bits 0, 1, 4, 5 give
  // profile bits 2, 3, 6, 7 (the device's own). Returns whether the device's
  // copy of this system's bits (status bits 2, 3, 6, 7 against profile bits
  // 0, 1, 4, 5) differs; the device sends a new status word for that once its
  // last one has been acknowledged.
  bool ApplyStatusWord(std::uint8_t status);

 private:
  IK2HeaderOwner* owner_;
};

}  // namespace kavor2::device
