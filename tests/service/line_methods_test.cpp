// The line methods through the server's executor: runs of calls, each with
// its answer and the notices it posts; the lines read back through their
// transports. The lines bind loopback only and run no threads, so nothing
// is sent anywhere.
#include "service/line_methods.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "device/devices.h"
#include "device/fixed_keys.h"
#include "service/api_methods.h"
#include "service/api_answers.h"
#include "service/host_test_support.h"
#include "xmlrpc/rpc_parsers.h"
#include "subscribers/subscribers_info.h"

namespace kavor2::service {
namespace {

using testing::Answer;
using testing::AnswerOf;
using testing::Call;
using testing::Int;
using testing::kCount;
using testing::kEmpty;
using testing::kType;
using testing::Notice;
using testing::Param;
using testing::RecordingLog;
using testing::RecordingPoster;
using testing::SilentPort;

const Answer kNotAnInteger{1001, "Item is not a integer type"};

constexpr char kPortDir[] = "/k2-test-ports";

// Loopback only, no line threads: the transports bind and listen, and no
// ID request ever leaves. Serial ports 7 and 8 exist (and stay silent).
device::TSessionEnvironment QuietLoopback() {
  device::TSessionEnvironment environment;
  environment.LocalAddresses = [] { return std::vector<std::string>{"127.0.0.1"}; };
  environment.Threads = {};
  environment.ComDir = kPortDir;
  environment.SerialPorts = [](const std::string& path) -> std::unique_ptr<device::ISerialPort> {
    if (path != std::string(kPortDir) + "/COM7" && path != std::string(kPortDir) + "/COM8") return nullptr;
    return std::make_unique<SilentPort>();
  };
  return environment;
}

constexpr std::int32_t kPortBase = 47300;

class LineMethods : public ::testing::Test {
 protected:
  LineMethods() {
    registry_.SetWindow(&window_);
    RegisterMethods(server_, subscription_, master_keys_, registry_, methods_, devices_);
    a_ = Register(9000, 40000, "Desk");
    b_ = Register(9001, 40001, "Other");
    window_.posted.clear();
  }

  std::string Register(std::int32_t callback_port, std::int32_t caller_port, const std::string& name) {
    const xmlrpc::TRpcResult r =
        Call(server_, "AddMessageSubscriber", {callback_port, name, "Data", "State"}, "127.0.0.1", caller_port);
    EXPECT_TRUE(r.IsString());
    return r.IsString() ? r.AsString() : std::string();
  }

  Answer Run(const std::string& method, const std::vector<Param>& params) {
    return AnswerOf(Call(server_, method, params));
  }

  // An Ethernet line of the short form, owned by `who`; its ID.
  std::int32_t AddEthernet(const std::string& who, std::int32_t local_port, std::int32_t device_port) {
    const xmlrpc::TRpcResult r = Call(server_, "AddLine", {who, "ETHERNET", local_port, true, false, device_port});
    EXPECT_TRUE(r.IsInteger()) << (r.IsError() ? r.ErrorMsg() : "no ID");
    return r.IsInteger() ? r.AsInteger() : -1;
  }

  // The notices posted since the last call, then forgets them.
  std::vector<Notice> TakeNotices() {
    return testing::TakeNotices(window_);
  }

  std::vector<std::int32_t> LineIds() const {
    std::vector<std::int32_t> ids;
    for (const auto& line : session_.Lines().All()) ids.push_back(line->ID);
    return ids;
  }

  const std::string kDesk = "Desk ( 127.0.0.1 : 9000)";
  const std::string kOther = "Other ( 127.0.0.1 : 9001)";

  platform::EventLoop loop_;  // callback clients and the session's sink; it never runs here
  RecordingLog log_;
  RecordingPoster window_;
  // Before the registry: the ownership entries go before the lines.
  device::TKavorSession session_{loop_, QuietLoopback()};
  subscribers::TSubscribersInfo registry_{loop_};
  TSubscriptionMethods subscription_{registry_, window_, log_};
  TMasterKeyMethods master_keys_{session_.MasterKeyList()};
  TLineMethods methods_{session_, registry_, window_};
  TDeviceMethods devices_{session_, registry_, window_};
  xmlrpc::TRpcServer server_{loop_};
  std::string a_;
  std::string b_;
};

TEST_F(LineMethods, AddLineFormsAndTheLinesTheyLeave) {
  ASSERT_FALSE(a_.empty());
  const std::int32_t p = kPortBase;
  struct Step {
    std::vector<Param> params;
    Answer answer;
    std::vector<std::int32_t> lines;  // afterwards
  };
  const std::vector<Step> steps = {
      // The type in any case.
      {{a_, "ethernet", p, true, false, p + 100}, Int(0), {0}},
      // Unknown types do nothing.
      {{a_, "Serial", p + 1, true, false, p + 101}, kEmpty, {0}},
      {{a_, "", 1}, kEmpty, {0}},
      // The certificate is checked, the type is read without a kind test.
      {{a_}, kCount, {0}},
      // Ethernet: fewer than 6 parameters is no form; 6 tests positions 2 to 5.
      {{a_, "ETHERNET", p + 1, true, false}, kCount, {0}},
      {{a_, "ETHERNET", "port", true, false, p + 101}, kType, {0}},
      {{a_, "ETHERNET", p + 1, true, 0, p + 101}, kType, {0}},
      // 11: positions 6 to 10 tested once the line exists; it goes again.
      {{a_, "ETHERNET", p + 1, true, false, p + 101, 0, 10, 1, 20, 30}, kType, {0}},
      {{a_, "ETHERNET", p + 1, true, false, p + 101, 0, 10, false, 20, "30"}, kType, {0}},
      // Other counts test no kinds: a wrong one fails the call and the line
      // made for it goes again.
      {{a_, "ETHERNET", "port", true, false, p + 101, 0}, kNotAnInteger, {0}},
      {{a_, "ETHERNET", p + 1, true, false, "dp", 0, 0}, kNotAnInteger, {0}},
      // A transport that does not open: fault 1 with its text, no line.
      {{a_, "ETHERNET", 70000, true, false, p + 101}, {1, "Invalid UDP port 70000"}, {0}},
      // Serial: a port that does not open is fault 1 with its text, and the
      // line goes again; short forms are taken, below 4 parameters is no
      // form, 4 tests positions 2 and 3.
      {{a_, "RS232", 3, true}, {1, "/k2-test-ports/COM3 not open"}, {0}},
      {{a_, "rs232", 3, true, 7, 20, 30}, {1, "/k2-test-ports/COM3 not open"}, {0}},
      {{a_, "RS232", 3}, kCount, {0}},
      {{a_, "RS232", 3, 1}, kType, {0}},
      {{a_, "RS232", "3", true}, kType, {0}},
      {{a_, "RS232", 256, true}, {1001, "Range check error"}, {0}},
      {{a_, "RS232", 3, true, "fast"}, kNotAnInteger, {0}},
      // Counts other than 6 and 11 with every kind right make the line.
      {{a_, "ETHERNET", p + 2, false, true, p + 102, 5, 6}, Int(7), {0, 7}},
      // A serial line on a port that opens: speed, answer time-out, link time.
      {{a_, "RS232", 7, false, 3, 25, 30}, Int(8), {0, 7, 8}},
      // An unknown speed is the fastest; the short form takes the defaults.
      {{a_, "RS232", 8, true, 13}, Int(9), {0, 7, 8, 9}},
  };
  for (std::size_t i = 0; i < steps.size(); ++i) {
    EXPECT_EQ(Run("AddLine", steps[i].params), steps[i].answer) << "step " << i;
    EXPECT_EQ(LineIds(), steps[i].lines) << "step " << i;
  }
  // Only the lines made were announced, each naming its creator.
  EXPECT_EQ(TakeNotices(), (std::vector<Notice>{{WM_LINE_ADDED, "0", kDesk},
                                                 {WM_LINE_ADDED, "7", kDesk},
                                                 {WM_LINE_ADDED, "8", kDesk},
                                                 {WM_LINE_ADDED, "9", kDesk}}));

  const auto serial = session_.Lines().FindItemID(8);
  ASSERT_NE(serial, nullptr);
  ASSERT_NE(serial->ComComm(), nullptr);
  EXPECT_TRUE(serial->ComComm()->IsOpen());
  EXPECT_EQ(serial->ComComm()->ComPort(), 7);
  EXPECT_EQ(serial->ComComm()->ComPortSpeed(), 3);
  EXPECT_FALSE(serial->AutoAddDevice);
  EXPECT_EQ(serial->ComComm()->CommandTimeOut(), 2500);
  EXPECT_EQ(serial->ComComm()->ConnectTimeOut(), 30);
  EXPECT_EQ(session_.Lines().FindItemID(9)->ComComm()->ComPortSpeed(), 12);
  EXPECT_TRUE(session_.Lines().FindItemID(9)->AutoAddDevice);

  const auto line = session_.Lines().FindItemID(7);
  ASSERT_NE(line, nullptr);
  ASSERT_NE(line->UdpComm(), nullptr);
  EXPECT_TRUE(line->UdpComm()->IsOpen());
  EXPECT_EQ(line->UdpComm()->GetPort(), p + 2);
  EXPECT_EQ(line->UdpComm()->DevicePort(), p + 102);
  EXPECT_FALSE(line->AutoAddDevice);
  EXPECT_TRUE(line->FixedDevicePort);
  // Positions past 5 are read only in the full form.
  EXPECT_EQ(line->UdpComm()->BroadcastInterval(), 0);
}

TEST_F(LineMethods, BroadcastPortClashesOnlyWithALineThatBroadcasts) {
  const std::int32_t p = kPortBase + 10;
  ASSERT_EQ(Run("AddLine", {a_, "ETHERNET", p, true, false, 47500, 5, 10, false, 20, 30}), Int(0));
  ASSERT_EQ(Run("AddLine", {a_, "ETHERNET", p + 1, true, false, 47501, 0, 10, false, 20, 30}), Int(1));
  EXPECT_EQ(Run("AddLine", {b_, "ETHERNET", p + 2, true, false, 47500}), (Answer{3, "Broadcast port alredy exists"}));
  EXPECT_EQ(Run("AddLine", {b_, "ETHERNET", p + 2, true, false, 47500, 0, 10, false, 20, 30}),
            (Answer{3, "Broadcast port alredy exists"}));
  EXPECT_EQ(LineIds(), (std::vector<std::int32_t>{0, 1}));
  EXPECT_EQ(Run("AddLine", {b_, "ETHERNET", p + 2, true, false, 47501}), Int(2));
}

TEST_F(LineMethods, FullFormSettingsAndTimingRanges) {
  struct Case {
    std::int32_t answer;     // position 9, units of 100 ms
    std::int32_t link_time;  // position 10, seconds
    int answer_ms;           // read back
    int link_s;
  };
  const std::vector<Case> cases = {
      {20, 0, 2000, 30},        // link time 0 ignored
      {50, 601, 5000, 30},      // 601 ignored
      {19, 60, 2000, 60},       // 1900 ms ignored
      {300, 30, 30000, 30},     // up to the link time
      {301, 30, 2000, 30},      // beyond it
      {301, 1, 2000, 1},        // checked against the link time now in force
      {6000, 600, 600000, 600},
      {-20, 600, 2000, 600},
      {INT_MAX, 600, 2000, 600},  // no overflow of the product
  };
  std::int32_t port = kPortBase + 20;
  for (const Case& c : cases) {
    const Answer r = Run("AddLine", {a_, "ETHERNET", port, false, false, port + 100, 0, 7, true, c.answer, c.link_time});
    ASSERT_EQ(r.code, 0) << r;
    const auto line = session_.Lines().FindItemID(std::stoi(r.text.substr(2)));
    ASSERT_NE(line, nullptr);
    const device::TUdpKavor& udp = *line->UdpComm();
    EXPECT_EQ(udp.CommandTimeOut(), c.answer_ms) << c.answer << " / " << c.link_time;
    EXPECT_EQ(udp.ConnectTimeOut(), c.link_s) << c.answer << " / " << c.link_time;
    EXPECT_EQ(udp.IdRequestInterval(), 7);
    EXPECT_TRUE(udp.SendViaListenSockets());
    ++port;
  }
  ASSERT_EQ(Run("AddLine", {a_, "ETHERNET", port, false, false, port + 100, 9, 7, false, 20, 30}).code, 0);
  EXPECT_EQ(session_.Lines().All().back()->UdpComm()->BroadcastInterval(), 9);
}

TEST_F(LineMethods, OwnershipLockingSettingsAndDeletion) {
  const std::int32_t p = kPortBase + 40;
  ASSERT_EQ(AddEthernet(a_, p, p + 100), 0);
  ASSERT_EQ(TakeNotices(), (std::vector<Notice>{{WM_LINE_ADDED, "0", kDesk}}));

  const Answer unlocked_detail{8, "Object is unlocked Line ID : 0 "};
  const Answer by_desk{7, "Object is locked by other user Line ID : 0 " + kDesk};
  const Answer by_other{7, "Object is locked by other user Line ID : 0 " + kOther};
  struct Step {
    std::string method;
    std::vector<Param> params;
    Answer answer;
    std::vector<Notice> notices;
  };
  const std::vector<Step> steps = {
      // The creator owns the line.
      {"LineLock", {a_, 0}, kEmpty, {}},
      {"LineLock", {b_, 0}, {1, "Line locked " + kDesk}, {}},
      {"LineLock", {b_, 0, true}, {1, "Line locked " + kDesk}, {}},
      {"LineLock", {a_, 0, true}, kEmpty, {}},
      {"LineLock", {a_, 0, 1}, kType, {}},
      {"LineLock", {a_, 9}, {1, "Device not found"}, {}},
      {"LineType", {a_, 0}, {0, "s:ETHERNET"}, {}},
      {"LineType", {b_, 0}, by_desk, {}},
      {"LineType", {a_, 9}, {1, "Device not found"}, {}},
      {"LinePort", {b_, 0}, by_desk, {}},
      {"DeleteLine", {b_, 0}, by_desk, {}},
      // Released by its owner: the registry announces it.
      {"LineLock", {a_, 0, false}, kEmpty, {{WM_LINE_UNLOCKED, "0", kDesk}}},
      {"LineLock", {a_, 0}, {8, "Object is unlocked "}, {}},
      {"LineType", {a_, 0}, unlocked_detail, {}},
      {"LineAutoAdd", {a_, 0}, unlocked_detail, {}},
      // Releasing a line nobody owns still tells everyone it is free.
      {"LineLock", {b_, 0, false}, kEmpty, {{WM_LINE_UNLOCKED, "0", kOther}}},
      {"LineLock", {b_, 0, true}, kEmpty, {{WM_LINE_LOCKED, "0", kOther}}},
      {"LineLock", {b_, 0, true}, kEmpty, {}},
      {"LineLock", {a_, 0, false}, {1, "Line locked " + kOther}, {}},
      // Settings, for the owner only.
      {"LinePort", {a_, 0}, by_other, {}},
      {"LinePort", {b_, 0}, Int(p), {}},
      {"LinePort", {b_, 0, "x"}, kType, {}},
      {"LinePort", {b_, 0, p + 1}, kEmpty, {}},
      {"LinePort", {b_, 0}, Int(p + 1), {}},
      {"LinePort", {b_, 9}, {1, "Line not found"}, {}},
      {"LineAutoAdd", {b_, 0}, {0, "b:1"}, {}},
      {"LineAutoAdd", {b_, 0, 0}, kType, {}},
      {"LineAutoAdd", {b_, 0, false}, kEmpty, {}},
      {"LineAutoAdd", {b_, 0}, {0, "b:0"}, {}},
      {"LineAutoAdd", {b_, 9, false}, {1, "Line not found"}, {}},
      {"LinePortSpeed", {b_, 0}, {1, "Invalid line type"}, {}},
      {"LinePortSpeed", {b_, 0, 5}, {1, "Invalid line type"}, {}},
      {"LinePortSpeed", {a_, 0}, by_other, {}},
      {"LinePortSpeed", {b_, 9}, {1, "Line not found"}, {}},
      // A port the transport refuses: fault 1 with its text.
      {"LinePort", {b_, 0, 70000}, {1, "Invalid UDP port 70000"}, {}},
      // Deletion.
      {"DeleteLine", {b_, 9}, {1, "Line not found ID : 9"}, {}},
      {"DeleteLine", {a_, 0}, by_other, {}},
      {"DeleteLine", {b_, 0}, kEmpty, {{WM_LINE_UNLOCKED, "0", kOther}, {WM_LINE_DELETED, "0", kOther}}},
      {"DeleteLine", {b_, 0}, {1, "Line not found ID : 0"}, {}},
      {"LineLock", {b_, 0}, {1, "Device not found"}, {}},
  };
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const Step& s = steps[i];
    EXPECT_EQ(Run(s.method, s.params), s.answer) << "step " << i << " " << s.method;
    EXPECT_EQ(TakeNotices(), s.notices) << "step " << i << " " << s.method;
  }
  EXPECT_TRUE(LineIds().empty());
  EXPECT_EQ(registry_.LineSubscribers().Count(), 0);
}

TEST_F(LineMethods, DevicesOfOthersOnTheLineKeepItFromDeletion) {
  const std::int32_t p = kPortBase + 60;
  ASSERT_EQ(AddEthernet(a_, p, p + 100), 0);
  ASSERT_EQ(Run("LineLock", {a_, 0, false}), kEmpty);  // nobody's line now
  const auto device = session_.Devices().AddEthernetDevice(0, device::TextToStoredId("0000000000AB"), "", true, false,
                                                           p + 200, "127.0.0.1", true, device::DefaultKey);
  ASSERT_NE(device, nullptr);
  registry_.AddDeviceEntry(*device, platform::TextToGuid(b_).value());
  TakeNotices();

  EXPECT_EQ(Run("DeleteLine", {a_, 0}),
            (Answer{7, "Device is locked  on line by other user Line ID : 0 " + kOther}));
  EXPECT_TRUE(TakeNotices().empty());
  // Its owner may delete the unowned line: the device entry goes first.
  EXPECT_EQ(Run("DeleteLine", {b_, 0}), kEmpty);
  EXPECT_EQ(TakeNotices(),
            (std::vector<Notice>{{WM_DEVICE_UNLOCKED, "0000000000AB", kOther}, {WM_LINE_DELETED, "0", kOther}}));
  EXPECT_TRUE(LineIds().empty());
  EXPECT_EQ(registry_.DeviceSubscribers().Count(), 0);
  EXPECT_EQ(session_.Devices().Count(), 0u);
}

TEST_F(LineMethods, LinesListsEveryLineWithItsOwner) {
  const std::int32_t p = kPortBase + 80;
  const xmlrpc::TRpcResult none = Call(server_, "Lines", {});
  ASSERT_TRUE(none.IsArray());
  EXPECT_EQ(none.AsArray()->Count(), 0);
  ASSERT_EQ(AddEthernet(a_, p, p + 100), 0);
  ASSERT_EQ(Run("AddLine", {b_, "ETHERNET", p + 1, false, false, p + 101}), Int(1));
  ASSERT_EQ(Run("LineLock", {b_, 1, false}), kEmpty);

  // Any parameters, no certificate. Read as clients that keep empty
  // strings read it: an owner-less line's "Subscriber" is one.
  xmlrpc::TRpcFunction call;
  call.SetObjectMethod("Lines");
  call.AddItem("not a certificate");
  call.AddItem(5);
  xmlrpc::TRpcClientParser parser(true);
  parser.Parse(server_.ExecuteRequest(call.GetRequestXML(), "127.0.0.1", 40000));
  const xmlrpc::TRpcResult r = parser.Result();
  ASSERT_TRUE(r.IsArray()) << (r.IsError() ? r.ErrorMsg() : "no array");
  const xmlrpc::TRpcArray& lines = *r.AsArray();
  ASSERT_EQ(lines.Count(), 2);

  struct Expected {
    std::int32_t id;
    std::string subscriber;
    std::int32_t port;
    bool automatic;
  };
  const std::vector<Expected> expected = {{0, kDesk, p, true}, {1, "", p + 1, false}};
  for (int i = 0; i < lines.Count(); ++i) {
    ASSERT_TRUE(lines.Items(i).IsStruct());
    const xmlrpc::TRpcStruct& s = *lines.Items(i).AsStruct();
    EXPECT_EQ(s.KeyList(), (std::vector<std::string>{"ID", "Subscriber", "Type", "Port", "Auto"}));
    ASSERT_EQ(s.Count(), 5);
    EXPECT_TRUE(s.Items(0).IsInteger());
    EXPECT_TRUE(s.Items(1).IsString());
    EXPECT_TRUE(s.Items(2).IsString());
    EXPECT_TRUE(s.Items(3).IsInteger());
    EXPECT_TRUE(s.Items(4).IsBoolean());
    EXPECT_EQ(s.Items(0).AsInteger(), expected[i].id);
    EXPECT_EQ(s.Items(1).AsString(), expected[i].subscriber);
    EXPECT_EQ(s.Items(2).AsString(), "ETHERNET");
    EXPECT_EQ(s.Items(3).AsInteger(), expected[i].port);
    EXPECT_EQ(s.Items(4).AsBoolean(), expected[i].automatic);
  }
}

TEST_F(LineMethods, SerialLineSettingsAndItsEntryInLines) {
  ASSERT_EQ(Run("AddLine", {a_, "RS232", 7, true, 4, 20, 30}), Int(0));
  const auto line = session_.Lines().FindItemID(0);
  ASSERT_NE(line, nullptr);
  device::TComKavor& com = *line->ComComm();
  struct Step {
    const char* method;
    std::vector<Param> params;
    Answer answer;
  };
  const std::vector<Step> steps = {
      {"LineType", {a_, 0}, {0, "s:RS232"}},
      {"LinePortSpeed", {a_, 0}, Int(4)},
      {"LinePortSpeed", {a_, 0, 9}, kEmpty},
      {"LinePortSpeed", {a_, 0}, Int(9)},
      {"LinePortSpeed", {a_, 0, 13}, {1, "Range check error"}},
      {"LinePortSpeed", {a_, 0, -1}, {1, "Range check error"}},
      {"LinePortSpeed", {a_, 0, true}, kType},
      {"LinePortSpeed", {a_, 0}, Int(9)},
      // The COM port number: another port is opened at once.
      {"LinePort", {a_, 0}, Int(7)},
      {"LinePort", {a_, 0, 8}, kEmpty},
      {"LinePort", {a_, 0}, Int(8)},
      // A port that does not open: the error, and the line stays on it, closed.
      {"LinePort", {a_, 0, 3}, {1, "/k2-test-ports/COM3 not open"}},
      {"LinePort", {a_, 0}, Int(3)},
      {"LinePort", {a_, 0, 256}, {1, "Range check error"}},
      {"LinePort", {a_, 0, 7}, kEmpty},
  };
  for (std::size_t i = 0; i < steps.size(); ++i) {
    EXPECT_EQ(Run(steps[i].method, steps[i].params), steps[i].answer) << "step " << i;
    if (i == 11) {
      EXPECT_FALSE(com.IsOpen());
    }
  }
  EXPECT_TRUE(com.IsOpen());
  EXPECT_EQ(com.ComPortSpeed(), 9);

  const xmlrpc::TRpcResult r = Call(server_, "Lines", {});
  ASSERT_TRUE(r.IsArray());
  ASSERT_EQ(r.AsArray()->Count(), 1);
  const xmlrpc::TRpcStruct& entry = *r.AsArray()->Items(0).AsStruct();
  EXPECT_EQ(entry.KeyList(), (std::vector<std::string>{"ID", "Subscriber", "Type", "Port", "Auto", "ComSpeed"}));
  EXPECT_EQ(entry.Items(2).AsString(), "RS232");
  EXPECT_EQ(entry.Items(3).AsInteger(), 7);
  EXPECT_TRUE(entry.Items(4).AsBoolean());
  EXPECT_EQ(entry.Items(5).AsInteger(), 9);
}

}  // namespace
}  // namespace kavor2::service
