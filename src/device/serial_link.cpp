#include "device/serial_link.h"

#include <algorithm>
#include <array>

namespace kavor2::device::serial {

void AppendStuffed(Bytes& out, ByteView raw) {
  for (std::uint8_t b : raw) {
    if (b == kSync) {
      out.push_back(kEscape);
      out.push_back(kEscapedSync);
    } else if (b == kEscape) {
      out.push_back(kEscape);
      out.push_back(kEscapedEscape);
    } else {
      out.push_back(b);
    }
  }
}

Bytes Stuff(ByteView raw) {
  Bytes out;
  out.reserve(raw.size() + raw.size() / 8 + 1);
  AppendStuffed(out, raw);
  return out;
}

void TUnstuffer::Feed(ByteView piece, Bytes& out) {
  for (std::uint8_t b : piece) {
    if (holding_) {
      holding_ = false;
      if (b == kEscapedSync) {
        out.push_back(kSync);
      } else if (b == kEscapedEscape) {
        out.push_back(kEscape);
      } else {
        out.push_back(b);  // a broken escape: the escape goes, the byte stays
      }
    } else if (b == kEscape) {
      holding_ = true;
    } else {
      out.push_back(b);
    }
  }
}

std::uint8_t CheckChain(ByteView bytes, std::uint8_t reg) {
  for (std::uint8_t b : bytes) reg = Crc8Step(reg, b);
  return reg;
}

Bytes ShortAddressPart(std::uint8_t short_address) { return Bytes{short_address}; }

Bytes IdAddressPart(const DeviceId& id) {
  Bytes part{kIdAddressMark};
  part.insert(part.end(), id.begin(), id.end());
  return part;
}

TCommandFrame BuildCommandFrame(ByteView address_part, std::uint8_t command) {
  Bytes body(address_part.begin(), address_part.end());
  body.push_back(command);
  const std::uint8_t check = CheckChain(body);
  body.push_back(check);
  TCommandFrame frame{{kSync, kSync}, check};
  AppendStuffed(frame.Wire, body);
  return frame;
}

Bytes BuildLengthFrame(ByteView body) {
  Bytes frame;
  frame.reserve(body.size() + kLengthFrameOverhead);
  frame.push_back(static_cast<std::uint8_t>(body.size() + kLengthFrameOverhead));
  frame.insert(frame.end(), body.begin(), body.end());
  const std::uint16_t crc = Crc16(frame);
  frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  frame.push_back(static_cast<std::uint8_t>(crc >> 8));
  return frame;
}

bool LengthFrameValid(ByteView frame) {
  return frame.size() >= kLengthFrameOverhead && frame[0] == frame.size() && Crc16(frame) == 0;
}

TFrameRead ReadFrame(const TPieceReader& read, std::size_t expected, Bytes& frame) {
  frame.clear();
  TUnstuffer unstuffer;
  std::array<std::uint8_t, kMaxPiece> piece{};
  std::size_t target = expected;
  if (expected == 0) {
    // The length byte is stuffed like the rest: 0xFE and 0xFF come as two
    // raw bytes, read one at a time.
    while (frame.empty()) {
      const std::optional<std::size_t> got = read(std::span<std::uint8_t>(piece.data(), 1));
      if (!got) return TFrameRead::ReadError;
      if (*got == 0) return TFrameRead::Nothing;
      unstuffer.Feed(ByteView(piece.data(), 1), frame);
    }
    if (frame[0] == 0) {
      frame.clear();
      return TFrameRead::Nothing;
    }
    target = frame[0];
  }
  while (frame.size() < target) {
    const std::size_t want = std::min(kMaxPiece, target - frame.size());
    const std::optional<std::size_t> got = read(std::span<std::uint8_t>(piece.data(), want));
    if (!got) {
      frame.clear();
      return TFrameRead::ReadError;
    }
    if (*got == 0) {
      frame.clear();
      return TFrameRead::Nothing;
    }
    unstuffer.Feed(ByteView(piece.data(), std::min(*got, want)), frame);
  }
  return TFrameRead::Ok;
}

// ---- The search -------------------------------------------------------------------

void TBusSearch::SetBit(DeviceId& bits, std::size_t i, bool on) {
  const auto bit = static_cast<std::uint8_t>(1U << (i % 8));
  if (on) {
    bits[i / 8] = static_cast<std::uint8_t>(bits[i / 8] | bit);
  } else {
    bits[i / 8] = static_cast<std::uint8_t>(bits[i / 8] & ~bit);
  }
}

std::optional<Bytes> TBusSearch::NextProbe() {
  if (!active_) {
    active_ = true;
    position_ = 0;
    value_.fill(0);
    mask_.fill(0xFF);
  }
  if (position_ > kSearchBits) {
    active_ = false;
    return std::nullopt;
  }
  if (position_ > 0) SetBit(mask_, position_ - 1, false);
  const std::size_t count = (position_ + kBitsPerProbeByte - 1) / kBitsPerProbeByte;
  Bytes payload(count, 0);
  for (std::size_t j = 0; j < count; ++j) {
    std::uint8_t byte = 0;
    for (std::size_t b = 0; b < kBitsPerProbeByte; ++b) {
      const std::size_t i = kBitsPerProbeByte * j + b;
      if (Bit(mask_, i)) byte = static_cast<std::uint8_t>(byte | (1U << (b + kBitsPerProbeByte)));
      if (Bit(value_, i)) byte = static_cast<std::uint8_t>(byte | (1U << b));
    }
    payload[j] = byte;
  }
  return payload;
}

DeviceId TBusSearch::Answer(bool answered) {
  if (answered) {
    if (position_ == kSearchBits) {
      active_ = false;
      return value_;
    }
    ++position_;
    return NoId;
  }
  // Nobody without an address, or both values of this bit failed (the
  // device that answered before has gone): the search is over.
  if (position_ == 0 || Bit(value_, position_ - 1)) {
    active_ = false;
    return NoId;
  }
  SetBit(value_, position_ - 1, true);
  return NoId;
}

bool TBusSearch::Matches(ByteView probe, const DeviceId& id) {
  for (std::size_t j = 0; j < probe.size(); ++j) {
    for (std::size_t b = 0; b < kBitsPerProbeByte; ++b) {
      const std::size_t i = kBitsPerProbeByte * j + b;
      if (i >= kSearchBits) return true;
      const bool significant = ((probe[j] >> (b + kBitsPerProbeByte)) & 1U) == 0;
      const bool value = ((probe[j] >> b) & 1U) != 0;
      if (significant && Bit(id, i) != value) return false;
    }
  }
  return true;
}

}  // namespace kavor2::device::serial
