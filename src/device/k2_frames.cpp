#include "device/k2_frames.h"

#include <algorithm>
#include <array>

#include "device/byte_reader.h"
#include "device/byte_writer.h"

namespace kavor2::device {
namespace {

// The profile this system announces; devices expect exactly these bytes.
constexpr std::array<std::uint8_t, 12> kProfileFrame = {0x0C, 0x01, 0x0C, 0x01, 0x01, 0xFF,
                                                        0x0A, 0x01, 0xFF, 0x0B, 0x01, 0xFF};
// The constant tail of the subscriber data frame, after the number.
constexpr std::array<std::uint8_t, 5> kSubscriberDataTail = {0x00, 0x33, 0x0A, 0x00, 0x05};
constexpr std::uint8_t kSubscriberDataFrameLength = 9;
constexpr std::size_t kRouteSkippedBytes = 1;

std::uint8_t ByteAt(ByteView bytes, std::size_t offset) { return offset < bytes.size() ? bytes[offset] : 0; }

Bytes CommandHeader(std::uint8_t length, TK2Command command) {
  return Bytes{length, ftCommand, command};
}

// A reader positioned at the first argument of a command frame whose length
// byte must be `length` and whose bytes must all be present.
std::optional<ByteReader> ExactCommandFrame(ByteView payload, std::uint8_t length) {
  if (payload.size() < length || payload[kFrameOffsetLength] != length) return std::nullopt;
  ByteReader reader(payload.first(length));
  if (!reader.Skip(kFrameOffsetArgument)) return std::nullopt;
  return reader;
}

}  // namespace

std::vector<ByteView> SplitFrames(ByteView payload) {
  std::vector<ByteView> frames;
  std::size_t pos = 0;
  while (pos < payload.size()) {
    const std::size_t length = payload[pos];
    if (length == 0) break;
    const std::size_t size = std::min(length, payload.size() - pos);
    frames.push_back(payload.subspan(pos, size));
    pos += size;
  }
  return frames;
}

TK2ServiceFrame ReadServiceFrame(ByteView payload) {
  return TK2ServiceFrame{ByteAt(payload, kFrameOffsetLength), ByteAt(payload, kFrameOffsetFType),
                         ByteAt(payload, kFrameOffsetCommand)};
}

Bytes CommandFrame(TK2Command command) { return CommandHeader(kCommandFrameLength, command); }

Bytes MasterKeyCounterFrame(std::uint32_t counter) {
  Bytes frame = CommandHeader(kMasterKeyCounterFrameLength, cmdMasterKeyCounter);
  AppendU32(frame, counter);
  return frame;
}

Bytes StatusWordFrame(std::uint8_t profile) {
  Bytes frame = CommandHeader(kStatusWordFrameLength, cmdStatusWord);
  AppendU8(frame, profile);
  return frame;
}

Bytes ProfileFrame() { return Bytes(kProfileFrame.begin(), kProfileFrame.end()); }

Bytes RoutesRequestFrame(std::uint8_t type, const DeviceId& address) {
  const std::size_t address_size = SubDeviceAddressSize(type);
  Bytes frame = CommandHeader(0, cmdRoutesRequest);
  AppendU8(frame, type);
  AppendBytes(frame, ByteView(address).first(address_size));
  frame[kFrameOffsetLength] = static_cast<std::uint8_t>(frame.size());
  return frame;
}

Bytes WorkingKeyAssignmentFrame(const TK2WorkingKeyAssignment& a) {
  Bytes frame = CommandHeader(kWorkingKeyFrameLength, cmdWorkingKeyAssignment);
  AppendU8(frame, a.AnswerRequested ? kAnswerRequestedFlag : 0);
  AppendU32(frame, a.MasterCounter);
  AppendU32(frame, a.Random);
  AppendU32(frame, a.WorkCounter);
  AppendBytes(frame, a.Key);
  return frame;
}

std::optional<std::uint32_t> ParseMasterKeyCounter(ByteView payload) {
  auto reader = ExactCommandFrame(payload, kMasterKeyCounterFrameLength);
  std::uint32_t counter = 0;
  if (!reader || !reader->ReadU32(counter)) return std::nullopt;
  return counter;
}

std::optional<TK2WorkingKeyAssignment> ParseWorkingKeyAssignment(ByteView payload) {
  auto reader = ExactCommandFrame(payload, kWorkingKeyFrameLength);
  if (!reader) return std::nullopt;
  TK2WorkingKeyAssignment a;
  std::uint8_t flags = 0;
  if (!reader->ReadU8(flags) || !reader->ReadU32(a.MasterCounter) || !reader->ReadU32(a.Random) ||
      !reader->ReadU32(a.WorkCounter) || !reader->ReadBytes(a.Key)) {
    return std::nullopt;
  }
  a.AnswerRequested = (flags & kAnswerRequestedFlag) != 0;
  return a;
}

std::optional<std::uint8_t> ParseStatusWord(ByteView payload) {
  ByteReader reader(payload);
  std::uint8_t status = 0;
  if (!reader.Skip(kFrameOffsetArgument) || !reader.ReadU8(status)) return std::nullopt;
  return status;
}

std::optional<TK2Route> ParseRoute(ByteView payload) {
  ByteReader reader(payload);
  TK2Route route;
  if (!reader.Skip(kFrameOffsetArgument) || !reader.ReadU8(route.Type)) return std::nullopt;
  const auto address = std::span<std::uint8_t>(route.Address).first(SubDeviceAddressSize(route.Type));
  if (!reader.ReadBytes(address) || !reader.Skip(kRouteSkippedBytes) || !reader.ReadU8(route.State)) {
    return std::nullopt;
  }
  return route;
}

std::optional<std::uint16_t> SubscriberDataRequestNumber(ByteView frame, bool exact_type) {
  if (frame.size() != kSubscriberRequestFrameLength || frame[kFrameOffsetLength] != kSubscriberRequestFrameLength) {
    return std::nullopt;
  }
  const std::uint8_t type = frame[kFrameOffsetFType];
  const bool type_ok = exact_type ? type == ftStreamCommand
                                  : (type & kSubscriberRequestTypeMask) == ftStreamCommand;
  if (!type_ok || frame[kSubscriberRequestOffsetMarker] != kSubscriberRequestMarker) return std::nullopt;
  ByteReader reader(frame.subspan(kSubscriberRequestOffsetNumber));
  std::uint16_t number = 0;
  if (!reader.ReadU16(number)) return std::nullopt;
  return number;
}

Bytes SubscriberDataFrame(std::uint16_t subscriber) {
  Bytes frame{kSubscriberDataFrameLength, ftServiceStream};
  AppendU16(frame, subscriber);
  AppendBytes(frame, kSubscriberDataTail);
  return frame;
}

std::optional<TK2Receipt> ParseReceipt(ByteView payload) {
  TK2Receipt receipt;
  ByteReader reader(payload);
  if (!reader.ReadU8(receipt.Code)) return receipt;  // empty: positive, no tags
  receipt.Empty = false;
  std::uint8_t tag = 0;
  while (reader.ReadU8(tag)) {
    switch (tag) {
      case kReceiptTagResend:
        receipt.ResendNow = true;
        break;
      case kReceiptTagPeerParameter:
        if (!reader.ReadU16(receipt.PeerParameter)) return std::nullopt;
        break;
      case kReceiptTagFramesPerPacket:
        if (!reader.ReadU8(receipt.FramesPerPacket)) return std::nullopt;
        break;
      default:
        break;  // unknown tag bytes are skipped one at a time
    }
  }
  return receipt;
}

Bytes ReceiptPayload(std::uint8_t code) { return Bytes{code, kReceiptTagFramesPerPacket, kMaxFramesPerPacket}; }

}  // namespace kavor2::device
