// The device receive path on hostile packets: a device record that has run
// its key exchange with the simulated device (test master key) is handed a
// few packets, ticking after each so that whatever it queued in answer is
// handled. The input is a sequence of records [mode][length] bytes...
// (a length past the end takes the rest). Raw bytes rarely
// get past the CRC and the authentication code, so the mode picks how the
// bytes become a packet:
//   0: as is;  1: with its CRC made right;
//   2: [dtype][flags][pnum] payload, built and sealed by the simulated
//      device with the working or master key as the flags say;
//   3: the bytes split into data frames (each [n] then n bytes), sealed.
// The whole input also goes through the datagram prefix parser.
#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <exception>
#include <span>
#include <vector>

#include "device/crc.h"
#include "device/k2_packet_format.h"
#include "device/engine_harness.h"
#include "device/udp_datagram.h"

namespace {

using kavor2::device::Bytes;
using kavor2::device::test::EngineHarness;

enum Mode : std::uint8_t { kRaw, kRecrc, kSealed, kFrames, kModeCount };
constexpr std::size_t kSealedHeader = 3;  // dtype, flags, pnum
constexpr int kTicksAfter = 4;
constexpr int kMaxPackets = 8;

Bytes Recrc(Bytes packet) {
  if (packet.size() < kavor2::device::kCrcSize) return packet;
  packet.resize(packet.size() - kavor2::device::kCrcSize);
  const std::uint16_t crc = kavor2::device::Crc16(packet);
  packet.push_back(static_cast<std::uint8_t>(crc));
  packet.push_back(static_cast<std::uint8_t>(crc >> 8));
  return packet;
}

std::vector<Bytes> SplitFrames(std::span<const std::uint8_t> rest) {
  std::vector<Bytes> frames;
  while (!rest.empty()) {
    const std::size_t n = std::min<std::size_t>(rest[0], rest.size() - 1);
    frames.emplace_back(rest.begin() + 1, rest.begin() + 1 + static_cast<std::ptrdiff_t>(n));
    rest = rest.subspan(1 + n);
  }
  return frames;
}

Bytes MakePacket(EngineHarness& h, Mode mode, std::span<const std::uint8_t> bytes) {
  switch (mode) {
    case kRaw:
      return Bytes(bytes.begin(), bytes.end());
    case kRecrc:
      return Recrc(Bytes(bytes.begin(), bytes.end()));
    case kSealed:
      if (bytes.size() < kSealedHeader) return {};
      return h.sim->Build(bytes[0], bytes[1], bytes.subspan(kSealedHeader), bytes[2]);
    case kFrames:
      return h.sim->DataPacket(SplitFrames(bytes));
    case kModeCount:
      break;
  }
  return {};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> input(data, size);
  bool data_flag = false;
  (void)kavor2::device::ParseDatagramPrefix(input, data_flag);
  if (input.empty()) return 0;

  EngineHarness h;
  if (!h.Connect()) __builtin_trap();  // the harness itself is broken

  for (int n = 0; n < kMaxPackets && !input.empty(); ++n) {
    const auto mode = static_cast<Mode>(input[0] % kModeCount);
    input = input.subspan(1);
    std::size_t length = input.size();
    if (!input.empty()) {
      length = std::min<std::size_t>(input[0], input.size() - 1);
      input = input.subspan(1);
    }
    const std::span<const std::uint8_t> bytes = input.first(length);
    input = input.subspan(length);
    Bytes packet;
    try {
      packet = MakePacket(h, mode, bytes);
    } catch (const std::exception&) {
      continue;  // the simulated device refused to build it: not the engine's business
    }
    h.FromDevice(std::move(packet));
    for (int i = 0; i < kTicksAfter; ++i) h.Step();
  }
  return 0;
}
