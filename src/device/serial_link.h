#pragma once
// The serial bus link layer without I/O: byte stuffing, command frames with
// their check byte, length frames, replies, the receive capacity a device
// announces, the frame reader over pieces of raw bytes, and the bit-by-bit
// search for a device without a short address. The port and the timing live
// in TComKavor; everything here works on byte buffers.
//
// On the wire every command frame starts with two 0xFF bytes; everything
// after them (and every byte of the frames that follow a command, and of
// the devices' replies) is stuffed so that 0xFF never appears inside.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "device/crc.h"
#include "device/id_key_text.h"

namespace kavor2::device::serial {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// ---- Bytes of the link layer ------------------------------------------------
inline constexpr std::uint8_t kSync = 0xFF;
inline constexpr std::uint8_t kEscape = 0xFE;
inline constexpr std::uint8_t kEscapedSync = 0x01;    // 0xFE 0x01 stands for 0xFF
inline constexpr std::uint8_t kEscapedEscape = 0x02;  // 0xFE 0x02 stands for 0xFE

// Command bytes: kCmdBase plus an offset.
inline constexpr std::uint8_t kCmdBase = 0x0F;
inline constexpr std::uint8_t kOffsetPoll = 0x10;
inline constexpr std::uint8_t kToggleA = 0x20;  // data frame toggles, also their command offsets
inline constexpr std::uint8_t kToggleB = 0x30;
inline constexpr std::uint8_t kOffsetAckA = 0x40;  // acknowledge of toggle A
inline constexpr std::uint8_t kOffsetAckB = 0x50;  // acknowledge of toggle B
inline constexpr std::uint8_t kOffsetConnect = 0x90;
inline constexpr std::uint8_t kOffsetQuery = 0xA0;
// The search probe: a fixed command byte behind the address byte 0.
inline constexpr std::uint8_t kSearchAddress = 0x00;
inline constexpr std::uint8_t kSearchCommand = 0x80;
// An address part that names the device by its ID instead of its short address.
inline constexpr std::uint8_t kIdAddressMark = 0x80;

// Reply codes: the high half is the meaning, the low half the device's
// receive capacity in units of 16 bytes (0x0F: 255 bytes or more).
inline constexpr std::uint8_t kReplyMeaning = 0xF0;
inline constexpr std::uint8_t kReplyDataA = 0x20;  // a data frame with toggle A follows
inline constexpr std::uint8_t kReplyDataB = 0x30;
inline constexpr std::uint8_t kReplyAckA = 0x40;
inline constexpr std::uint8_t kReplyAckB = 0x50;
inline constexpr std::uint8_t kReplyNotReady = 0x60;  // nothing to send / not ready
inline constexpr std::uint8_t kReplyQuery = 0xB0;     // the query answer follows

inline constexpr std::uint8_t kUnknownCapacity = 0x0F;
inline constexpr std::size_t kCapacityUnit = 16;
inline constexpr std::size_t kLargestCapacity = 255;

inline constexpr std::size_t kReplySize = 2;        // code, check byte
inline constexpr std::size_t kQueryAnswerSize = 9;  // the device ID in bytes 1 to 6
inline constexpr std::size_t kQueryAnswerIdOffset = 1;
inline constexpr std::size_t kMaxPiece = 16;       // raw bytes asked of one read of a frame
inline constexpr std::size_t kLengthFrameOverhead = 3;  // length byte and CRC-16

inline constexpr std::size_t kSearchBits = 8 * kIdSize;  // 48
inline constexpr std::size_t kBitsPerProbeByte = 4;

// ---- Small helpers --------------------------------------------------------------
constexpr std::uint8_t OtherToggle(std::uint8_t toggle) { return toggle == kToggleA ? kToggleB : kToggleA; }
// The acknowledge offset (and reply meaning) for a data frame of that toggle.
constexpr std::uint8_t AckFor(std::uint8_t toggle) { return toggle == kToggleA ? kOffsetAckA : kOffsetAckB; }
// The toggle an acknowledge meaning stands for.
constexpr std::uint8_t ToggleOfAck(std::uint8_t meaning) { return meaning == kReplyAckA ? kToggleA : kToggleB; }
constexpr bool IsToggle(std::uint8_t value) { return value == kToggleA || value == kToggleB; }
constexpr bool IsAck(std::uint8_t meaning) { return meaning == kReplyAckA || meaning == kReplyAckB; }
constexpr bool IsData(std::uint8_t meaning) { return meaning == kReplyDataA || meaning == kReplyDataB; }

// The largest stuffed data frame a device with that bus status takes.
constexpr std::size_t BusCapacity(std::uint8_t bus_status) {
  return (bus_status & kUnknownCapacity) == kUnknownCapacity ? kLargestCapacity
                                                             : kCapacityUnit * (bus_status & kUnknownCapacity);
}

// ---- Stuffing -------------------------------------------------------------------
void AppendStuffed(Bytes& out, ByteView raw);
Bytes Stuff(ByteView raw);

// Unstuffs what arrives in pieces. An escape that ends a piece is held and
// joined to the first byte of the next one; an escape followed by a byte
// other than 0x01 or 0x02 is dropped and that byte taken as it comes.
class TUnstuffer {
 public:
  // Appends the unstuffed bytes of the piece to out.
  void Feed(ByteView piece, Bytes& out);
  bool Holding() const { return holding_; }
  void Reset() { holding_ = false; }

 private:
  bool holding_ = false;
};

// ---- Frames -------------------------------------------------------------------
// Crc8Step over the bytes, from the register given.
std::uint8_t CheckChain(ByteView bytes, std::uint8_t reg = kCrc8Initial);
// The check byte a reply to a command frame with that check byte carries.
inline std::uint8_t ReplyCheck(std::uint8_t command_check, std::uint8_t code) { return Crc8Step(command_check, code); }

Bytes ShortAddressPart(std::uint8_t short_address);
Bytes IdAddressPart(const DeviceId& id);  // 0x80, then the ID in stored order

struct TCommandFrame {
  Bytes Wire;          // 0xFF 0xFF, then the stuffed address part, command and check byte
  std::uint8_t Check;  // the check byte: the register replies are checked against
};
TCommandFrame BuildCommandFrame(ByteView address_part, std::uint8_t command);

// A length frame: L (counting itself and the CRC), the body, the CRC-16 of
// what precedes it, low byte first. Not stuffed. The body must leave L
// within a byte (at most 252 bytes).
Bytes BuildLengthFrame(ByteView body);
// The frame has its own length and a correct CRC-16.
bool LengthFrameValid(ByteView frame);

// ---- Reading a frame ------------------------------------------------------------
// One read of the port: how many bytes it put at the start of `into`
// (0: nothing arrived in time), or nothing on a read error.
using TPieceReader = std::function<std::optional<std::size_t>(std::span<std::uint8_t> into)>;

enum class TFrameRead { Ok, Nothing, ReadError };

// Reads one frame of `expected` unstuffed bytes into frame; with expected 0
// the first (unstuffed) byte is the length byte L and L - 1 bytes follow.
// Each read asks for at most kMaxPiece raw bytes and never for more than are
// still missing, so no byte of what follows the frame is taken. Anything but
// Ok leaves frame empty. A length byte of 0 is no frame (Nothing).
TFrameRead ReadFrame(const TPieceReader& read, std::size_t expected, Bytes& frame);

// ---- The search -------------------------------------------------------------------
// The search for a device without a short address, one probe per step. It
// settles ID bit 0 first, then bit 1 and so on, trying 0 before 1, so it
// finds the unaddressed device whose ID read from bit 0 upward is lowest.
class TBusSearch {
 public:
  // The payload of the next probe's length frame; starts a new search when
  // none is under way. Nothing when there is nothing left to probe (the
  // search then ends).
  std::optional<Bytes> NextProbe();
  // What the probe got. Returns the ID when the last bit has been settled,
  // otherwise NoId. Active() tells whether the search goes on.
  DeviceId Answer(bool answered);
  // A probe that could not be sent ends the search.
  void Abort() { active_ = false; }
  bool Active() const { return active_; }
  std::size_t Position() const { return position_; }

  // Whether a device with that ID answers the probe payload: every bit the
  // payload marks significant matches. Used by the devices' side.
  static bool Matches(ByteView probe, const DeviceId& id);

 private:
  static bool Bit(const DeviceId& bits, std::size_t i) { return (bits[i / 8] >> (i % 8)) & 1U; }
  static void SetBit(DeviceId& bits, std::size_t i, bool on);

  bool active_ = false;
  std::size_t position_ = 0;
  DeviceId value_{};
  DeviceId mask_{};  // 1: not yet significant
};

}  // namespace kavor2::device::serial
