#include "device/k2_frames.h"

#include <gtest/gtest.h>

#include "test_bytes.h"

namespace kavor2::device {
namespace {

using test::Hex;
using test::HexArray;

std::vector<std::vector<std::uint8_t>> ToVectors(const std::vector<ByteView>& frames) {
  std::vector<std::vector<std::uint8_t>> out;
  for (ByteView f : frames) out.emplace_back(f.begin(), f.end());
  return out;
}

TEST(K2Frames, SplitFollowsLengthBytes) {
  struct Case {
    const char* payload;
    std::vector<const char*> frames;
  };
  const Case cases[] = {
      {"", {}},
      {"03 01 0B", {"03 01 0B"}},
      {"02 AA 03 BB CC 01", {"02 AA", "03 BB CC", "01"}},
      {"02 AA 05 BB", {"02 AA", "05 BB"}},  // the last frame ends with the payload
      {"02 AA 00 BB CC", {"02 AA"}},        // a zero length cannot be framed further
      {"00", {}},
  };
  for (const Case& c : cases) {
    std::vector<std::vector<std::uint8_t>> expected;
    for (const char* f : c.frames) expected.push_back(Hex(f));
    const auto payload = Hex(c.payload);
    EXPECT_EQ(ToVectors(SplitFrames(payload)), expected) << c.payload;
  }
}

TEST(K2Frames, BuiltFramesHaveTheirFixedLayouts) {
  struct Case {
    std::vector<std::uint8_t> built;
    const char* expected;
  };
  const DeviceId address = HexArray<6>("11 22 33 44 55 66");
  TK2WorkingKeyAssignment assignment;
  assignment.AnswerRequested = true;
  assignment.MasterCounter = 0x04030201;
  assignment.Random = 0x08070605;
  assignment.WorkCounter = 0x0C0B0A09;
  assignment.Key = HexArray<16>("00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF");
  const Case cases[] = {
      {CommandFrame(cmdMasterKeyCounterRequest), "03 01 01"},
      {CommandFrame(cmdLogicalDisconnect), "03 01 05"},
      {CommandFrame(cmdProfileRequest), "03 01 0B"},
      {MasterKeyCounterFrame(0x04030201), "07 01 02 01 02 03 04"},
      {StatusWordFrame(0x91), "04 01 0A 91"},
      {ProfileFrame(), "0C 01 0C 01 01 FF 0A 01 FF 0B 01 FF"},
      {RoutesRequestFrame(atAll, address), "04 01 08 00"},
      {RoutesRequestFrame(atSixByte, address), "0A 01 08 01 11 22 33 44 55 66"},
      {RoutesRequestFrame(atOneByte, address), "05 01 08 02 11"},
      {RoutesRequestFrame(atTwoByte, address), "06 01 08 03 11 22"},
      {WorkingKeyAssignmentFrame(assignment),
       "20 01 03 01 01 02 03 04 05 06 07 08 09 0A 0B 0C 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF"},
      {SubscriberDataFrame(0x1234), "09 04 34 12 00 33 0A 00 05"},
      {ReceiptPayload(kReceiptPositive), "00 FF FF"},
      {ReceiptPayload(kReceiptMasterAuthFailed), "07 FF FF"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.built, Hex(c.expected)) << c.expected;
}

TEST(K2Frames, KeyCommandsNeedTheirExactLength) {
  TK2WorkingKeyAssignment sent;
  sent.MasterCounter = 7;
  sent.Random = 0xDEADBEEF;
  sent.WorkCounter = 0xFFFFFFFF;
  sent.Key = HexArray<16>("0F 0E 0D 0C 0B 0A 09 08 07 06 05 04 03 02 01 00");
  const auto frame = WorkingKeyAssignmentFrame(sent);
  const auto got = ParseWorkingKeyAssignment(frame);
  ASSERT_TRUE(got);
  EXPECT_FALSE(got->AnswerRequested);
  EXPECT_EQ(got->MasterCounter, 7u);
  EXPECT_EQ(got->Random, 0xDEADBEEFu);
  EXPECT_EQ(got->WorkCounter, 0xFFFFFFFFu);
  EXPECT_EQ(got->Key, sent.Key);
  for (std::size_t n = 0; n < frame.size(); ++n) {
    EXPECT_FALSE(ParseWorkingKeyAssignment(ByteView(frame).first(n))) << n;
  }
  auto longer = frame;
  longer[kFrameOffsetLength] = 33;
  longer.push_back(0);
  EXPECT_FALSE(ParseWorkingKeyAssignment(longer));

  EXPECT_EQ(ParseMasterKeyCounter(Hex("07 01 02 01 02 03 04")), 0x04030201u);
  EXPECT_EQ(ParseMasterKeyCounter(Hex("07 01 02 01 02 03 04 99")), 0x04030201u);  // a later frame
  EXPECT_FALSE(ParseMasterKeyCounter(Hex("07 01 02 01 02 03")));
  EXPECT_FALSE(ParseMasterKeyCounter(Hex("08 01 02 01 02 03 04 05")));
}

TEST(K2Frames, RouteAndStatusWordReads) {
  struct Case {
    const char* payload;
    std::optional<TK2Route> expected;
  };
  const Case cases[] = {
      {"0C 01 09 01 11 22 33 44 55 66 EE 01", TK2Route{1, HexArray<6>("11 22 33 44 55 66"), 1}},
      {"07 01 09 02 11 EE 00", TK2Route{2, HexArray<6>("11 00 00 00 00 00"), 0}},
      {"08 01 09 03 11 22 EE 02", TK2Route{3, HexArray<6>("11 22 00 00 00 00"), 2}},
      {"06 01 09 07 EE 01", TK2Route{7, DeviceId{}, 1}},
      {"0C 01 09 01 11 22 33 44 55 66 EE", std::nullopt},
      {"07 01 09 02 11", std::nullopt},
      {"03 01 09", std::nullopt},
  };
  for (const Case& c : cases) {
    const auto route = ParseRoute(Hex(c.payload));
    ASSERT_EQ(route.has_value(), c.expected.has_value()) << c.payload;
    if (!route) continue;
    EXPECT_EQ(route->Type, c.expected->Type) << c.payload;
    EXPECT_EQ(route->Address, c.expected->Address) << c.payload;
    EXPECT_EQ(route->State, c.expected->State) << c.payload;
  }
  EXPECT_EQ(ParseStatusWord(Hex("04 01 0A 21")), 0x21);
  EXPECT_FALSE(ParseStatusWord(Hex("04 01 0A")));
}

TEST(K2Frames, ServiceFrameReadsZeroPastThePayload) {
  struct Case {
    const char* payload;
    TK2ServiceFrame expected;
  };
  const Case cases[] = {
      {"03 01 0B", {3, ftCommand, cmdProfileRequest}},
      {"09 04 34 12 00 33 0A 00 05", {9, ftServiceStream, 0x34}},
      {"04 01", {4, ftCommand, 0}},
      {"", {0, 0, 0}},
  };
  for (const Case& c : cases) {
    const TK2ServiceFrame f = ReadServiceFrame(Hex(c.payload));
    EXPECT_EQ(f.Length, c.expected.Length) << c.payload;
    EXPECT_EQ(f.FType, c.expected.FType) << c.payload;
    EXPECT_EQ(f.Command, c.expected.Command) << c.payload;
  }
}

TEST(K2Frames, SubscriberDataRequestRecognition) {
  struct Case {
    const char* frame;
    bool exact_type;
    std::optional<std::uint16_t> number;
  };
  const Case cases[] = {
      {"07 03 34 12 0D 00 00", true, 0x1234},
      {"07 03 34 12 0D 00 00", false, 0x1234},
      {"07 43 34 12 0D 00 00", false, 0x1234},  // data stream: low six bits only
      {"07 43 34 12 0D 00 00", true, std::nullopt},
      {"07 03 34 12 0E 00 00", false, std::nullopt},
      {"07 04 34 12 0D 00 00", false, std::nullopt},
      {"08 03 34 12 0D 00 00 00", false, std::nullopt},
      {"07 03 34 12 0D 00", false, std::nullopt},  // cut off by the payload end
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SubscriberDataRequestNumber(Hex(c.frame), c.exact_type), c.number) << c.frame << " " << c.exact_type;
  }
}

TEST(K2Frames, ReceiptTags) {
  struct Case {
    const char* payload;
    std::optional<TK2Receipt> expected;
  };
  const Case cases[] = {
      {"", TK2Receipt{}},
      {"00 FF FF", TK2Receipt{false, 0, false, kDefaultPeerParameter, 0xFF}},
      {"00 FD FE 34 12 FF 03", TK2Receipt{false, 0, true, 0x1234, 3}},
      {"05", TK2Receipt{false, 5, false, kDefaultPeerParameter, kDefaultFramesPerPacket}},
      {"00 AA 01 FF 02", TK2Receipt{false, 0, false, kDefaultPeerParameter, 2}},  // unknown bytes skipped
      {"00 FE 34", std::nullopt},
      {"00 FF", std::nullopt},
  };
  for (const Case& c : cases) {
    const auto r = ParseReceipt(Hex(c.payload));
    ASSERT_EQ(r.has_value(), c.expected.has_value()) << c.payload;
    if (!r) continue;
    EXPECT_EQ(r->Empty, c.expected->Empty) << c.payload;
    EXPECT_EQ(r->Code, c.expected->Code) << c.payload;
    EXPECT_EQ(r->ResendNow, c.expected->ResendNow) << c.payload;
    EXPECT_EQ(r->PeerParameter, c.expected->PeerParameter) << c.payload;
    EXPECT_EQ(r->FramesPerPacket, c.expected->FramesPerPacket) << c.payload;
  }
}

}  // namespace
}  // namespace kavor2::device
