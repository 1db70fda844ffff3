// The API method table, the common prologue with its fault texts, and the
// subscription methods, driven through the server's executor.
#include "service/api_methods.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "service/api_answers.h"
#include "service/host_test_support.h"
#include "subscribers/subscribers_info.h"
#include "version.h"

namespace kavor2::service {
namespace {

using testing::Answer;
using testing::Call;
using testing::kCount;
using testing::kEmpty;
using testing::kType;
using testing::Param;
using testing::PostedMessage;
using testing::RecordingLog;
using testing::RecordingPoster;

const std::string kNoBraces = "12345678-1234-1234-1234-123456789ABC";
const std::string k31Digits = "{12345678-1234-1234-1234-123456789AB}";
const std::string kAllZero = "{00000000-0000-0000-0000-000000000000}";
const std::string kUnregistered = "{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}";

class FakeLine : public subscribers::IOwnedLine {
 public:
  explicit FakeLine(std::int32_t id) : id_(id) {}
  std::int32_t LineId() const override { return id_; }

 private:
  std::int32_t id_;
};

class FakeDevice : public subscribers::IOwnedDevice {
 public:
  std::string IdText() const override { return "00000000000A"; }
  std::int32_t LineId() const override { return 1; }
  std::uint8_t Profile() const override { return profile_; }
  void SetProfile(std::uint8_t p) override { profile_ = p; }
  void Release() override {}

 private:
  std::uint8_t profile_ = 0xFF;
};

class Api : public ::testing::Test {
 protected:
  Api() {
    registry_.SetWindow(&window_);
    RegisterMethods(server_, methods_, master_key_methods_, registry_, lines_, devices_);
  }

  xmlrpc::TRpcResult Run(const std::string& method, const std::vector<Param>& params,
                         std::int32_t caller_port = 40000) {
    return Call(server_, method, params, "127.0.0.1", caller_port);
  }
  std::string Register(std::int32_t callback_port, std::int32_t caller_port = 40000,
                       const std::string& name = "Desk") {
    xmlrpc::TRpcResult r = Run("AddMessageSubscriber", {callback_port, name, "Data", "State"}, caller_port);
    EXPECT_TRUE(r.IsString()) << (r.IsError() ? r.ErrorMsg() : "no string");
    return r.IsString() ? r.AsString() : std::string();
  }
  platform::Guid Cert(const std::string& text) { return platform::TextToGuid(text).value(); }

  FakeLine line_{3};
  FakeDevice device_;
  platform::EventLoop loop_;  // callback clients are made on it; it never runs here
  RecordingLog log_;
  RecordingPoster window_;
  // Before the registry: the ownership entries go before the lines.
  device::TKavorSession session_{loop_, testing::QuietLoopback()};
  subscribers::TSubscribersInfo registry_{loop_};
  TSubscriptionMethods methods_{registry_, window_, log_};
  device::TMasterKeyList master_keys_;
  TMasterKeyMethods master_key_methods_{master_keys_};
  TLineMethods lines_{session_, registry_, window_};
  TDeviceMethods devices_{session_, registry_, window_};
  xmlrpc::TRpcServer server_{loop_};
};

// A fault (code and text) or, with code 0, a string as it stands ("" for an
// empty response): these methods answer strings or nothing.
Answer AnswerOf(const xmlrpc::TRpcResult& r) {
  if (r.IsError()) return {r.ErrorCode(), r.ErrorMsg()};
  if (r.IsString()) return {0, r.AsString()};
  return {0, ""};
}

struct Case {
  std::string method;
  std::vector<Param> params;
  Answer expected;
};

const Answer kTypeGuid{3, "Inavlid parameter type Guid"};
const Answer kConvert{4, "Convert parameter error"};
const Answer kNoSubscriber{10, "Subscriber not found"};
const Answer kDeviceNotFound{1, "Device not found"};

TEST_F(Api, PrologueAndFaultTexts) {
  const std::string me = Register(9000);
  std::string me_lower = me;
  std::transform(me_lower.begin(), me_lower.end(), me_lower.begin(), [](unsigned char c) { return std::tolower(c); });

  const std::vector<Case> cases = {
      // Count first: it is checked before anything else.
      {"LineType", {me}, kCount},
      {"LineType", {me, 1, 1}, kCount},
      {"Connected", {me, "0000000000AB", true}, kCount},  // one too many
      {"SendData", {1, 2}, kCount},                         // count before kinds
      {"AddDevice", {me, 1, "", true}, kCount},
      {"ClearMasterKeyList", {}, kCount},
      {"Ping", {}, kCount},
      {"Ping", {me, me}, kCount},
      {"AddMessageSubscriber", {9000, "Desk", "Data", "State", "extra"}, kCount},
      // Kinds of the positions that are present.
      {"LineType", {me, "1"}, kType},
      {"LineLock", {me, 1, 1}, kType},
      {"SendService", {me, "0000000000AB", "00", 1}, kType},
      {"AddDevice", {me, 1, "", true, 0}, kType},
      {"MAC", {me, "127.0.0.1", "8000"}, kType},
      {"AddMessageSubscriber", {"9000", "Desk", "Data", "State"}, kType},
      {"DeleteMessageSubscriber", {5}, kType},
      // Unreadable certificates: fault 3 in the prologue, 4 for the
      // subscription methods; the master-key clear has its own text.
      {"LineType", {kNoBraces, 1}, kType},
      {"Connected", {k31Digits, "0000000000AB"}, kType},
      {"AddMasterKeyToList", {kNoBraces, "0000000000AB", "00"}, kType},
      {"ClearMasterKeyList", {k31Digits}, kTypeGuid},
      {"AddLine", {12, "ETHERNET"}, kType},  // not a string: unreadable too
      {"Ping", {kNoBraces}, kConvert},
      {"Ping", {k31Digits}, kConvert},
      {"DeleteMessageSubscriber", {kNoBraces}, kConvert},
      {"ReleaseLinesAndDevices", {k31Digits}, kConvert},
      // The null certificate parses but is refused by the prologue, and is
      // simply nobody's for the subscription methods.
      {"LineType", {kAllZero, 1}, kType},
      {"ClearMasterKeyList", {kAllZero}, kTypeGuid},
      {"Ping", {kAllZero}, kNoSubscriber},
      {"DeleteMessageSubscriber", {kAllZero}, kEmpty},
      {"ReleaseLinesAndDevices", {kAllZero}, kEmpty},
      // Readable, unregistered.
      {"LineType", {kUnregistered, 1}, kNoSubscriber},
      {"DeleteMasterKeyToList", {kUnregistered, "0000000000AB"}, kNoSubscriber},
      {"Ping", {kUnregistered}, kNoSubscriber},
      {"DeleteMessageSubscriber", {kUnregistered}, kEmpty},
      // Registered (digits of either case): the prologue passes and the
      // handlers find nothing.
      {"Ping", {me}, kEmpty},
      {"Ping", {me_lower}, kEmpty},
      {"LineType", {me_lower, 1}, kDeviceNotFound},
      {"AddLine", {me, "ETHERNET", "8000", true, false, 8001}, kType},
      {"DeviceLock", {me, "0000000000AB", 5, 6, 7, 8, 9}, kDeviceNotFound},  // Lock's kind is tested later
      {"AddDevice", {me, 1, "", true, false, "anything"}, {3, "Not Line ID : 1"}},
      {"GetEvent", {me, "0000000000AB", 1}, kDeviceNotFound},
      {"ClearMasterKeyList", {me}, kEmpty},
      {"Lines", {}, kEmpty},  // an empty array
      // Version methods read nothing.
      {"Version", {}, {0, "1.0.2.0"}},
      {"Version", {kNoBraces, 1, true}, {0, "1.0.2.0"}},
      {"FileVersion", {1}, {0, std::string(kVersionText)}},
      // Callback ports that no TCP port can be.
      {"AddMessageSubscriber", {70000, "Desk", "Data", "State"}, {1001, "Callback port out of range : 70000"}},
      {"AddMessageSubscriber", {-1, "Desk", "Data", "State"}, {1001, "Callback port out of range : -1"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(AnswerOf(Run(c.method, c.params)), c.expected) << c.method << " with " << c.params.size();
  }
  EXPECT_EQ(registry_.Subscribers().Count(), 1);  // the refused registrations added nobody
}

TEST_F(Api, RegistrationAnswersACertificateAndAsksForTheCallbackConnection) {
  const std::string cert = Register(9000, 40001, "Desk ($DebugMode)");
  ASSERT_EQ(cert.size(), 38u);
  EXPECT_EQ(platform::GuidToText(Cert(cert)), cert) << "upper-case registry text";

  subscribers::TSubscriber* s = registry_.FindByCertificate(Cert(cert));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->ConnectionIP, "127.0.0.1");
  EXPECT_EQ(s->ConnectionPort, 40001);
  EXPECT_EQ(s->CallbackHost(), "127.0.0.1");  // always the caller's own address
  EXPECT_EQ(s->CallbackPort(), 9000);
  EXPECT_EQ(s->Mode(), subscribers::smDebug);
  EXPECT_EQ(s->MethodData, "Data");
  EXPECT_EQ(s->MethodState, "State");

  ASSERT_EQ(window_.posted.size(), 1u);
  EXPECT_EQ(window_.posted[0].msg, WM_CONNECT_CALLBACK);
  EXPECT_EQ(window_.posted[0].ip, "127.0.0.1");
  EXPECT_EQ(window_.posted[0].port, 40001);
  EXPECT_EQ(log_.Entries(), std::vector<std::string>{"Add subscriber ( Client ID : " + cert + " 127.0.0.1 : 9000 ) "});
}

TEST_F(Api, RegisteringAgainFromTheSameCallbackEndpointReplacesTheCertificate) {
  const std::string first = Register(9000, 40001);
  const std::string other = Register(9001, 40001);  // another callback port: another subscriber
  registry_.AddLineEntry(line_, Cert(first));
  registry_.AddDeviceEntry(device_, Cert(first));
  window_.posted.clear();

  const std::string second = Register(9000, 40002);

  EXPECT_NE(second, first);
  EXPECT_EQ(AnswerOf(Run("Ping", {first})), kNoSubscriber);
  EXPECT_EQ(AnswerOf(Run("Ping", {second})), kEmpty);
  EXPECT_EQ(AnswerOf(Run("Ping", {other})), kEmpty);
  ASSERT_EQ(registry_.Subscribers().Count(), 2);
  EXPECT_EQ(registry_.FindByCertificate(Cert(second))->ConnectionPort, 40002);

  // What the first registration owned is released (devices first), named
  // by the record as it was then; then the new callback connection is asked for.
  ASSERT_EQ(window_.posted.size(), 3u);
  EXPECT_EQ(window_.posted[0].msg, WM_DEVICE_UNLOCKED);
  EXPECT_EQ(window_.posted[0].owner, "Desk ( 127.0.0.1 : 9000)");
  EXPECT_EQ(window_.posted[1].msg, WM_LINE_UNLOCKED);
  EXPECT_EQ(window_.posted[1].subject, "3");
  EXPECT_EQ(window_.posted[2].msg, WM_CONNECT_CALLBACK);
  EXPECT_EQ(window_.posted[2].port, 40002);
  EXPECT_EQ(registry_.LineSubscribers().Count(), 0);
  EXPECT_EQ(registry_.DeviceSubscribers().Count(), 0);
  EXPECT_EQ(log_.CountStartingWith("Subscriber exists ( 127.0.0.1 : 9000 ) , release devices and lines"), 1);
}

TEST_F(Api, DeleteMessageSubscriberPostsTheReleaseOfItsConnection) {
  const std::string cert = Register(9000, 40005);
  window_.posted.clear();
  EXPECT_EQ(AnswerOf(Run("DeleteMessageSubscriber", {cert})), kEmpty);
  ASSERT_EQ(window_.posted.size(), 1u);
  EXPECT_EQ(window_.posted[0].msg, WM_RELEASE_SUBSCRIBER);
  EXPECT_EQ(window_.posted[0].ip, "127.0.0.1");
  EXPECT_EQ(window_.posted[0].port, 40005);
  EXPECT_NE(registry_.FindByCertificate(Cert(cert)), nullptr) << "released when the message is handled";
}

TEST_F(Api, ReleaseLinesAndDevicesReleasesLinesThenDevicesOfAnyCertificate) {
  const std::string cert = Register(9000);
  window_.posted.clear();
  registry_.AddDeviceEntry(device_, Cert(kUnregistered));
  registry_.AddLineEntry(line_, Cert(kUnregistered));
  EXPECT_EQ(AnswerOf(Run("ReleaseLinesAndDevices", {kUnregistered})), kEmpty);
  ASSERT_EQ(window_.posted.size(), 2u);
  EXPECT_EQ(window_.posted[0].msg, WM_LINE_UNLOCKED);
  EXPECT_EQ(window_.posted[1].msg, WM_DEVICE_UNLOCKED);
  EXPECT_NE(registry_.FindByCertificate(Cert(cert)), nullptr);
}

// The names in order and the help strings, as introspection shows them.
TEST_F(Api, TableAndHelpStrings) {
  const std::vector<std::string> names = {
      "Version",        "FileVersion",   "AddMessageSubscriber", "DeleteMessageSubscriber", "Ping",
      "ReleaseLinesAndDevices", "Lines", "AddLine",       "LineLock",    "DeviceLock",
      "LineType",       "DeleteLine",    "LinePort",       "LinePortSpeed", "LineAutoAdd",
      "Devices",        "AddDevice",     "DeleteDevice",   "SendData",      "SendService",
      "Connected",      "Enabled",       "IsLiveMessage",  "LiveMessageTimeOut", "MAC",
      "MasterKey",      "Host",          "Port",           "GetEvent",      "GetCmd",
      "CommandTimeOut", "ConnectTimeOut", "GetSubDevices", "SubDevices",    "SubDevice",
      "AddMasterKeyToList", "ClearMasterKeyList", "DeleteMasterKeyToList"};
  ASSERT_EQ(server_.Methods().Count(), static_cast<int>(names.size()));
  for (int i = 0; i < server_.Methods().Count(); ++i) {
    EXPECT_EQ(server_.Methods().Items(i).MethodName, names[static_cast<std::size_t>(i)]);
    EXPECT_TRUE(server_.Methods().Items(i).Signature.empty());
  }

  server_.SetListenPort(0);  // introspection comes with the activation
  server_.SetActive(true);
  const std::vector<std::pair<std::string, std::string>> helps = {
      {"AddMessageSubscriber",
       "AddMessageSubscriber(Host : string; Port : Integer ; ClientName , MethodDat\xE0, MethodState : string; ) : "
       "Certificate : GUID;"},
      {"ConnectTimeOut", "ConnectTimeOut(Certificate : GUID; MAC : string, \xD1onnectTimeOut : integer) : integer;"},
      {"LinePort", "Line(Certificate : GUID; ID : Integer ;Port : Integer);"},
      {"SubDevices", "SubDevices(Certificate : GUID; MAC : string) : Array [0..n] of  SubDeviceInfo;"},
      {"Devices", "Devices(Certificate : GUID; LineID : integer)"},
      {"Version", "Version : string;"},
  };
  for (const auto& [method, help] : helps) {
    xmlrpc::TRpcResult r = Run("system.methodHelp", {method});
    ASSERT_TRUE(r.IsString()) << method;
    EXPECT_EQ(r.AsString(), help) << method;
  }
  server_.SetActive(false);
}

}  // namespace
}  // namespace kavor2::service
