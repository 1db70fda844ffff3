#pragma once
// The frames carried in K2 payloads: splitting a payload into frames, the
// service frame and its commands, the subscriber data frames and receipts.
// Builders return the frame bytes; parsers read through a checked reader and
// return nothing when the bytes they need are not there.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "device/id_key_text.h"
#include "device/k2_packet_format.h"

namespace kavor2::device {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// The frames of a payload, in order. A frame whose length byte exceeds what
// is left ends at the end of the payload. A length byte of 0 ends the split:
// such a frame would never advance, and the rest cannot be framed.
std::vector<ByteView> SplitFrames(ByteView payload);

// The first frame of a service packet, the only one interpreted. Bytes past
// the end of the payload read as 0, so a short payload gives FType or
// Command 0 rather than a read past the end.
struct TK2ServiceFrame {
  std::uint8_t Length = 0;
  std::uint8_t FType = 0;
  std::uint8_t Command = 0;  // meaningful for ftCommand
};
TK2ServiceFrame ReadServiceFrame(ByteView payload);

// ---- Commands (ftCommand), built for the device ---------------------------

// L 01 cmd: master key counter request, logical disconnect, profile request.
Bytes CommandFrame(TK2Command command);
// 07 01 02, then the counter the sender expects on its next master-key packet.
Bytes MasterKeyCounterFrame(std::uint32_t counter);
// 04 01 0A, then the status (profile) byte.
Bytes StatusWordFrame(std::uint8_t profile);
// The fixed profile this system announces, 12 bytes.
Bytes ProfileFrame();
// L 01 08 T, then the first SubDeviceAddressSize(T) bytes of the address.
Bytes RoutesRequestFrame(std::uint8_t type, const DeviceId& address);

struct TK2WorkingKeyAssignment {
  bool AnswerRequested = false;      // the receiver is asked to assign its own key in return
  std::uint32_t MasterCounter = 0;   // expected on the sender's next received master-key packet
  std::uint32_t Random = 0;
  std::uint32_t WorkCounter = 0;     // expected on its next packet under the assigned key
  DeviceKey Key{};                   // the key the receiver is to encrypt with
};
// 20 01 03, answer flags, the three counters and the key: 32 bytes.
Bytes WorkingKeyAssignmentFrame(const TK2WorkingKeyAssignment& assignment);

// ---- Commands (ftCommand), received from the device -----------------------
// Each takes the service packet's payload (its first frame is the command).

// The counter of a master key counter frame: length byte 7 and all 7 bytes
// present.
std::optional<std::uint32_t> ParseMasterKeyCounter(ByteView payload);
// A working key assignment: length byte 32 and all 32 bytes present.
std::optional<TK2WorkingKeyAssignment> ParseWorkingKeyAssignment(ByteView payload);
// The status byte of a status word frame.
std::optional<std::uint8_t> ParseStatusWord(ByteView payload);

struct TK2Route {
  std::uint8_t Type = 0;
  DeviceId Address{};  // the bytes the type carries, the rest zero
  std::uint8_t State = 0;
};
// L 01 09 T, the address for T, one skipped byte, the state byte.
std::optional<TK2Route> ParseRoute(ByteView payload);

// ---- Subscriber data --------------------------------------------------------

// The subscriber number of a subscriber data request frame, or nothing when
// the frame is not one. exact_type demands byte 1 be exactly
// ftStreamCommand (the service stream) rather than only its low six bits
// (the data stream).
std::optional<std::uint16_t> SubscriberDataRequestNumber(ByteView frame, bool exact_type);
// The answer: 09 04, the subscriber number, 00 33 0A 00 05.
Bytes SubscriberDataFrame(std::uint16_t subscriber);

// ---- Receipts ---------------------------------------------------------------

inline constexpr std::uint16_t kDefaultPeerParameter = 0xFFFF;
inline constexpr std::uint8_t kDefaultFramesPerPacket = 1;

struct TK2Receipt {
  bool Empty = true;  // an empty payload: positive, and nothing recorded
  std::uint8_t Code = kReceiptPositive;
  bool ResendNow = false;
  // The tagged values, or their defaults when the receipt has no such tag.
  std::uint16_t PeerParameter = kDefaultPeerParameter;
  std::uint8_t FramesPerPacket = kDefaultFramesPerPacket;
};
// Reads the code and the tags; unknown tag bytes are skipped one at a time.
// Nothing when a tag's value is cut off by the end of the payload.
std::optional<TK2Receipt> ParseReceipt(ByteView payload);
// What this system sends: the code, then tag 0xFF with 255 frames.
Bytes ReceiptPayload(std::uint8_t code);

}  // namespace kavor2::device
