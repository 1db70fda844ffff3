// The serial bus link layer on byte buffers: stuffing both ways with the
// escape at every piece boundary, the command frame's check byte and the
// reply chained from it, length frames, the frame reader over split and
// noisy reads, and the search against a bus of simulated devices.
#include "device/serial_link.h"

#include <gtest/gtest.h>

#include <deque>
#include <vector>

#include "k2sim/k2sim_bus.h"

namespace kavor2::device::serial {
namespace {

// A port that hands out scripted pieces, one per read, cut to what is asked.
class PieceScript {
 public:
  explicit PieceScript(std::vector<Bytes> pieces, bool error_at_end = false)
      : pieces_(pieces.begin(), pieces.end()), error_at_end_(error_at_end) {}

  TPieceReader Reader() {
    return [this](std::span<std::uint8_t> into) -> std::optional<std::size_t> {
      asked_.push_back(into.size());
      if (pieces_.empty()) {
        if (error_at_end_) return std::nullopt;
        return 0;
      }
      Bytes& front = pieces_.front();
      const std::size_t n = std::min(into.size(), front.size());
      std::copy_n(front.begin(), n, into.begin());
      front.erase(front.begin(), front.begin() + static_cast<std::ptrdiff_t>(n));
      if (front.empty()) pieces_.pop_front();
      return n;
    };
  }
  const std::vector<std::size_t>& Asked() const { return asked_; }
  std::size_t Left() const {
    std::size_t n = 0;
    for (const Bytes& p : pieces_) n += p.size();
    return n;
  }

 private:
  std::deque<Bytes> pieces_;
  bool error_at_end_;
  std::vector<std::size_t> asked_;
};

TEST(SerialStuffing, EscapesBothReservedBytesAndRoundTripsAcrossEveryCut) {
  const Bytes raw = {0x01, 0xFE, 0xFF, 0x02, 0xFE, 0xFE, 0xFF, 0xFF, 0x7F};
  const Bytes stuffed = Stuff(raw);
  EXPECT_EQ(stuffed, (Bytes{0x01, 0xFE, 0x02, 0xFE, 0x01, 0x02, 0xFE, 0x02, 0xFE, 0x02, 0xFE, 0x01, 0xFE, 0x01, 0x7F}));
  for (std::uint8_t b : stuffed) EXPECT_NE(b, kSync);
  // Every cut into two pieces, so an escape ends the first piece somewhere.
  for (std::size_t cut = 0; cut <= stuffed.size(); ++cut) {
    TUnstuffer u;
    Bytes out;
    u.Feed(ByteView(stuffed).first(cut), out);
    u.Feed(ByteView(stuffed).subspan(cut), out);
    EXPECT_EQ(out, raw) << "cut " << cut;
    EXPECT_FALSE(u.Holding());
  }
  // Pieces of one byte each.
  TUnstuffer u;
  Bytes out;
  for (std::uint8_t b : stuffed) u.Feed(ByteView(&b, 1), out);
  EXPECT_EQ(out, raw);
}

TEST(SerialStuffing, BrokenEscapesAndATrailingEscape) {
  struct Case {
    Bytes in;
    Bytes out;
    bool holding;
  };
  const std::vector<Case> cases = {
      {{0xFE, 0x05, 0x06}, {0x05, 0x06}, false},  // the escape goes, the byte stays
      {{0xFE, 0xFE, 0x02}, {0xFE, 0x02}, false},  // the second escape is taken as a plain byte
      {{0x07, 0xFE}, {0x07}, true},               // held back for the next piece
      {{0xFE, 0x01}, {0xFF}, false},
  };
  for (const Case& c : cases) {
    TUnstuffer u;
    Bytes out;
    u.Feed(c.in, out);
    EXPECT_EQ(out, c.out);
    EXPECT_EQ(u.Holding(), c.holding);
  }
}

TEST(SerialFrames, CommandFrameCheckByteAndTheReplyChainedFromIt) {
  // Poll of short address 5: 05 1F, check over both from 0xFF.
  const TCommandFrame poll = BuildCommandFrame(ShortAddressPart(5), kCmdBase + kOffsetPoll);
  const std::uint8_t check = Crc8Step(Crc8Step(kCrc8Initial, 0x05), 0x1F);
  EXPECT_EQ(poll.Check, check);
  ASSERT_GE(poll.Wire.size(), 5U);
  EXPECT_EQ(poll.Wire[0], kSync);
  EXPECT_EQ(poll.Wire[1], kSync);
  EXPECT_EQ(Bytes(poll.Wire.begin() + 2, poll.Wire.end()), Stuff(Bytes{0x05, 0x1F, check}));
  // A reply chains from this command's check byte, not from another's.
  const TCommandFrame other = BuildCommandFrame(ShortAddressPart(6), kCmdBase + kOffsetPoll);
  EXPECT_NE(ReplyCheck(poll.Check, 0x6F), ReplyCheck(other.Check, 0x6F));
  EXPECT_EQ(ReplyCheck(poll.Check, 0x6F), Crc8Step(check, 0x6F));

  // Addressed by ID: 0x80 and the six bytes in stored order.
  const DeviceId id = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
  const TCommandFrame connect = BuildCommandFrame(IdAddressPart(id), kCmdBase + kOffsetConnect);
  const Bytes body = {0x80, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x9F};
  EXPECT_EQ(connect.Check, CheckChain(body));
  // The search probe's fixed frame.
  EXPECT_EQ(BuildCommandFrame(ShortAddressPart(kSearchAddress), kSearchCommand).Check,
            Crc8Step(Crc8Step(0xFF, 0x00), 0x80));
}

TEST(SerialFrames, LengthFramesAndCapacity) {
  const Bytes frame = BuildLengthFrame(Bytes{0x07, 0xAA});
  ASSERT_EQ(frame.size(), 5U);
  EXPECT_EQ(frame[0], 5);
  EXPECT_TRUE(LengthFrameValid(frame));
  Bytes broken = frame;
  broken[1] ^= 1;
  EXPECT_FALSE(LengthFrameValid(broken));
  EXPECT_EQ(BusCapacity(0x0F), 255U);
  EXPECT_EQ(BusCapacity(0x02), 32U);
  EXPECT_EQ(BusCapacity(0x00), 0U);
  EXPECT_EQ(BusCapacity(0x6A), 160U);  // the low half counts
}

TEST(SerialFrameReader, SplitReadsWithTheEscapeAtEveryPieceBoundary) {
  // A K2-like frame full of reserved bytes.
  Bytes raw = BuildLengthFrame(Bytes{0xFE, 0xFF, 0x11, 0xFE, 0xFE, 0xFF, 0x22, 0xFE});
  const Bytes stuffed = Stuff(raw);
  for (std::size_t cut = 1; cut < stuffed.size(); ++cut) {
    PieceScript script({Bytes(stuffed.begin(), stuffed.begin() + static_cast<std::ptrdiff_t>(cut)),
                        Bytes(stuffed.begin() + static_cast<std::ptrdiff_t>(cut), stuffed.end())});
    Bytes frame;
    ASSERT_EQ(ReadFrame(script.Reader(), 0, frame), TFrameRead::Ok) << "cut " << cut;
    EXPECT_EQ(frame, raw) << "cut " << cut;
  }
  // A length byte that is itself escaped (a 254-byte frame).
  Bytes big(251, 0x33);
  raw = BuildLengthFrame(big);
  ASSERT_EQ(raw[0], 0xFE);
  PieceScript script({Stuff(raw)});
  Bytes frame;
  ASSERT_EQ(ReadFrame(script.Reader(), 0, frame), TFrameRead::Ok);
  EXPECT_EQ(frame, raw);
  // Never more than 16 raw bytes, never more than still missing.
  for (std::size_t asked : script.Asked()) EXPECT_LE(asked, kMaxPiece);
}

TEST(SerialFrameReader, TakesNoByteOfWhatFollows) {
  const Bytes reply = {0x6F, 0x12};
  Bytes wire = Stuff(reply);
  wire.push_back(0x77);  // the start of something else
  PieceScript script({wire});
  Bytes frame;
  ASSERT_EQ(ReadFrame(script.Reader(), kReplySize, frame), TFrameRead::Ok);
  EXPECT_EQ(frame, reply);
  EXPECT_EQ(script.Left(), 1U);
}

TEST(SerialFrameReader, SilenceTruncationErrorsAndAZeroLength) {
  struct Case {
    const char* name;
    std::vector<Bytes> pieces;
    bool error_at_end;
    std::size_t expected;
    TFrameRead result;
  };
  const std::vector<Case> cases = {
      {"silence", {}, false, 0, TFrameRead::Nothing},
      {"a partial frame, then silence", {{0x08, 0x01, 0x02}}, false, 0, TFrameRead::Nothing},
      {"an escape at the end of the last read", {{0x05, 0x01, 0xFE}}, false, 0, TFrameRead::Nothing},
      {"a read error in the middle", {{0x08, 0x01}}, true, 0, TFrameRead::ReadError},
      {"a read error at once", {}, true, kReplySize, TFrameRead::ReadError},
      {"length byte 0", {{0x00, 0x01, 0x02}}, false, 0, TFrameRead::Nothing},
      {"one byte of a two-byte reply", {{0x6F}}, false, kReplySize, TFrameRead::Nothing},
  };
  for (const Case& c : cases) {
    PieceScript script(c.pieces, c.error_at_end);
    Bytes frame = {0x99};
    EXPECT_EQ(ReadFrame(script.Reader(), c.expected, frame), c.result) << c.name;
    EXPECT_TRUE(frame.empty()) << c.name;
  }
}

TEST(SerialSearch, FindsEachUnaddressedDeviceLowestFirstWithinTheProbeBounds) {
  // Devices on a simulated bus answer the probes; the search runs against
  // them until it settles or ends.
  const std::vector<DeviceId> ids = {{0x0C, 0x00, 0x00, 0x00, 0x00, 0x80},
                                     {0x0A, 0x00, 0x00, 0x00, 0x00, 0x80},
                                     {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}};
  std::vector<DeviceId> unaddressed = ids;
  std::vector<DeviceId> found;
  for (int round = 0; round < 4; ++round) {
    TBusSearch search;
    std::size_t probes = 0;
    DeviceId id = NoId;
    do {
      const std::optional<Bytes> probe = search.NextProbe();
      ASSERT_TRUE(probe);
      EXPECT_EQ(probe->size(), (search.Position() + 3) / 4);
      ++probes;
      bool answered = false;
      for (const DeviceId& d : unaddressed) answered = answered || TBusSearch::Matches(*probe, d);
      id = search.Answer(answered);
    } while (search.Active());
    if (IdEquals(id, NoId)) {
      EXPECT_TRUE(unaddressed.empty());
      EXPECT_EQ(probes, 1U);  // nobody answers the first probe
      break;
    }
    EXPECT_GE(probes, 49U);
    EXPECT_LE(probes, 97U);
    found.push_back(id);
    std::erase(unaddressed, id);
  }
  // Bit 0 first: 0x0C and 0x0A have it clear, 0xFF... not; at bit 1 0x0C
  // has 0 where 0x0A has 1.
  EXPECT_EQ(found, (std::vector<DeviceId>{ids[0], ids[1], ids[2]}));
}

}  // namespace
}  // namespace kavor2::device::serial
