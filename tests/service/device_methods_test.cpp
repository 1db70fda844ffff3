// The device methods through the server's executor: runs of calls, each
// with its answer and the notices it posts, and the devices read back. The
// line binds loopback only and runs no threads, so nothing is sent
// anywhere; the tests play the line's part on the device's queues.
#include "service/device_methods.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "device/devices.h"
#include "device/fixed_keys.h"
#include "device/serial_port.h"
#include "platform/errors.h"
#include "service/api_methods.h"
#include "service/hex_to_bytes.h"
#include "service/api_answers.h"
#include "service/host_test_support.h"
#include "subscribers/subscribers_info.h"
#include "xmlrpc/rpc_parsers.h"

namespace kavor2::service {
namespace {

using testing::Answer;
using testing::AnswerOf;
using testing::Call;
using testing::Dbl;
using testing::kCount;
using testing::kEmpty;
using testing::kNotFound;
using testing::kRange;
using testing::kType;
using testing::Notice;
using testing::Param;
using testing::RecordingLog;
using testing::RecordingPoster;
using testing::SilentPort;
using testing::Str;

const Answer kTrue{0, "b:1"};
const Answer kFalse{0, "b:0"};

// True when a UDP socket can be bound to the port on every address now.
bool UdpPortFree(int port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool ok = ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

// The tests' lines bind the base and base + 1 with their broadcast ports
// 100 above; test processes run in parallel, so each takes a base that is
// free in it instead of a fixed one.
std::int32_t FreePortBase() {
  for (int base = 20000 + (::getpid() % 300) * 100, tries = 0; tries < 300; ++tries, base += 100) {
    if (base > 50000) base = 20000;
    if (UdpPortFree(base) && UdpPortFree(base + 1) && UdpPortFree(base + 100) && UdpPortFree(base + 101)) return base;
  }
  return 47600;
}

const std::int32_t kPortBase = FreePortBase();

constexpr char kPortDir[] = "/k2-test-ports";

// Loopback only and no line threads; serial port 4 exists and stays silent.
device::TSessionEnvironment Quiet() {
  device::TSessionEnvironment environment = testing::QuietLoopback();
  environment.ComDir = kPortDir;
  environment.SerialPorts = [](const std::string& path) -> std::unique_ptr<device::ISerialPort> {
    if (path != std::string(kPortDir) + "/COM4") return nullptr;
    return std::make_unique<SilentPort>();
  };
  return environment;
}
const std::string kKey = "00112233445566778899AABBCCDDEEFF";

class DeviceMethods : public ::testing::Test {
 protected:
  DeviceMethods() {
    registry_.SetWindow(&window_);
    RegisterMethods(server_, subscription_, master_keys_, registry_, lines_, devices_);
    a_ = Register(9000, 40000, "Desk");
    b_ = Register(9001, 40001, "Other");
    const xmlrpc::TRpcResult line =
        Call(server_, "AddLine", {a_, "ETHERNET", kPortBase, false, false, kPortBase + 100});
    EXPECT_TRUE(line.IsInteger() && line.AsInteger() == 0) << AnswerOf(line);
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

  // An Ethernet device at 127.0.0.1:port added by `who`, without GetEvent.
  std::shared_ptr<device::TDevice> Add(const std::string& who, const std::string& mac, std::int32_t port) {
    const Answer r = Run("AddDevice", {who, 0, mac, false, false, true, "127.0.0.1", port, true, false});
    EXPECT_EQ(r.code, 0) << r;
    TakeNotices();
    return session_.FindDeviceByIdText(mac);
  }

  std::vector<Notice> TakeNotices() {
    return testing::TakeNotices(window_);
  }

  struct Step {
    std::string method;
    std::vector<Param> params;
    Answer answer;
    std::vector<Notice> notices;
  };
  void RunSteps(const std::vector<Step>& steps) {
    for (std::size_t i = 0; i < steps.size(); ++i) {
      const Step& s = steps[i];
      EXPECT_EQ(Run(s.method, s.params), s.answer) << "step " << i << " " << s.method;
      EXPECT_EQ(TakeNotices(), s.notices) << "step " << i << " " << s.method;
    }
  }

  const std::string kDesk = "Desk ( 127.0.0.1 : 9000)";
  const std::string kOther = "Other ( 127.0.0.1 : 9001)";

  platform::EventLoop loop_;  // callback clients and the session's sink; it never runs here
  RecordingLog log_;
  RecordingPoster window_;
  // Before the registry: the ownership entries go before the devices.
  device::TKavorSession session_{loop_, Quiet()};
  subscribers::TSubscribersInfo registry_{loop_};
  TSubscriptionMethods subscription_{registry_, window_, log_};
  TMasterKeyMethods master_keys_{session_.MasterKeyList()};
  TLineMethods lines_{session_, registry_, window_};
  TDeviceMethods devices_{session_, registry_, window_};
  xmlrpc::TRpcServer server_{loop_};
  std::string a_;
  std::string b_;
};

TEST(HexToBytes, PairsUntilTheFirstThatIsNotTwoDigits) {
  using Bytes = std::vector<std::uint8_t>;
  const std::vector<std::pair<std::string, Bytes>> cases = {
      {"", {}},
      {"0A1B", {0x0A, 0x1B}},
      {"0a1b", {0x0A, 0x1B}},
      {"0A1Bzz", {0x0A, 0x1B}},  // a bad pair ends the text
      {"0A1Bx", {0x0A, 0x1B}},   // so does a lone character that is no digit
      {"0A1B0g12", {0x0A, 0x1B}},
      {"zz00", {}},
      {"FF00ff", {0xFF, 0x00, 0xFF}},
      {"0A1:", {0x0A}},  // punctuation between the digit ranges is no digit
  };
  for (const auto& [text, bytes] : cases) EXPECT_EQ(HexToBytes(text), bytes) << text;
  // A digit left over at the end: the text was cut off.
  for (const std::string text : {"0A1", "0", "0A1B0"}) {
    EXPECT_THROW(HexToBytes(text), platform::ConversionError) << text;
  }
}

TEST_F(DeviceMethods, AddDeviceFormsFaultsAndNotices) {
  const std::int32_t p = kPortBase + 200;
  const std::string k31 = kKey.substr(1);
  const std::vector<Step> steps = {
      {"AddDevice", {a_, 9, "0000000000A1", false, false, true, "127.0.0.1", p, true, false}, {3, "Not Line ID : 9"}, {}},
      // Ethernet lines take at least 10 parameters, positions 5 to 9 tested.
      {"AddDevice", {a_, 0, "0000000000A1", false, false, true, "127.0.0.1", p, true}, kCount, {}},
      {"AddDevice", {a_, 0, "0000000000A1", false, false, 1, "127.0.0.1", p, true, false}, kType, {}},
      {"AddDevice", {a_, 0, "0000000000A1", false, false, true, 127, p, true, false}, kType, {}},
      {"AddDevice", {a_, 0, "0000000000A1", false, false, true, "127.0.0.1", "p", true, false}, kType, {}},
      {"AddDevice", {a_, 0, "0000000000A1", false, false, true, "127.0.0.1", p, true, 0}, kType, {}},
      {"AddDevice", {a_, 0, "0000000000A1", false, false, true, "127.0.0.1", p, true, false, 5}, kType, {}},
      {"AddDevice", {a_, 0, "0000000000A1", 1, false, true, "127.0.0.1", p, true, false}, kType, {}},
      // Texts that are not an ID or a key.
      {"AddDevice", {a_, 0, "0000000000A1F", false, false, true, "127.0.0.1", p, true, false}, {4, "not valid ID"}, {}},
      {"AddDevice", {a_, 0, "00000000-0A1", false, false, true, "127.0.0.1", p, true, false}, {4, "not valid ID"}, {}},
      {"AddDevice", {a_, 0, "0000000000A1", false, false, true, "127.0.0.1", p, true, false, k31},
       {4, "not valid MasterKey"}, {}},
      // The registry's refusals, with its texts.
      {"AddDevice", {a_, 0, "", false, false, true, "127.0.0.1", p, true, false}, {1, device::NoIdAndIpText()}, {}},
      {"AddDevice", {a_, 0, "0000000000A1", false, false, false, "", p, false, false}, {1, device::NoIdAndIpText()}, {}},
      // Made: the creator owns it; with GetEvent the cache is re-sent.
      {"AddDevice", {a_, 0, "0000000000A1", true, false, true, "127.0.0.1", p, true, true, kKey},
       Str("0000000000A1"),
       {{WM_DEVICE_ADDED, "0000000000A1", kDesk},
        {WM_DEVICE_LOCKED, "0000000000A1", kDesk},
        {WM_RESEND_CACHE, "0000000000A1", kDesk}}},
      {"AddDevice", {b_, 0, "0000000000A1", false, false, true, "127.0.0.1", p + 1, true, false},
       {1, device::DuplicateIdText()}, {}},
      // Either case in; the ID text out. An empty key is the default.
      {"AddDevice", {b_, 0, "0000000000ab", false, true, true, "127.0.0.1", p + 1, true, false, ""},
       Str("0000000000AB"),
       {{WM_DEVICE_ADDED, "0000000000AB", kOther}, {WM_DEVICE_LOCKED, "0000000000AB", kOther}}},
      // No ID: found by its address only.
      {"AddDevice", {a_, 0, "", false, false, false, "127.0.0.1", p + 2, true, false}, Str("FFFFFFFFFFFF"),
       {{WM_DEVICE_ADDED, "FFFFFFFFFFFF", kDesk}, {WM_DEVICE_LOCKED, "FFFFFFFFFFFF", kDesk}}},
      {"MAC", {a_, "127.0.0.1", p + 2}, {10, "Not device ID"}, {}},
      {"MAC", {a_, "127.0.0.1", p}, Str("0000000000A1"), {}},
      {"MAC", {b_, "127.0.0.1", p}, {7, "Object is locked by other user  Device ID : 0000000000A1 " + kDesk}, {}},
      {"MAC", {a_, "127.0.0.1", p + 9}, kNotFound, {}},
      {"MAC", {a_, "127.0.0.2", p}, kNotFound, {}},
  };
  RunSteps(steps);
  EXPECT_EQ(session_.Devices().Count(), 3u);

  const auto d = session_.FindDeviceByIdText("0000000000A1");
  ASSERT_NE(d, nullptr);
  EXPECT_TRUE(d->Enabled);
  EXPECT_EQ(d->MasterKeyText(), kKey);
  EXPECT_TRUE(d->GetEvent());
  EXPECT_FALSE(d->GetCmd());
  EXPECT_TRUE(d->PrimaryID);
  EXPECT_TRUE(d->PrimaryIP);
  EXPECT_TRUE(d->PrimaryPort);
  EXPECT_EQ(d->Host(), "127.0.0.1");
  EXPECT_EQ(d->Port, p);
  EXPECT_TRUE(d->AddedByClient);
  const auto ab = session_.FindDeviceByIdText("0000000000AB");
  ASSERT_NE(ab, nullptr);
  EXPECT_EQ(ab->MasterKey, device::DefaultKey);
  EXPECT_FALSE(ab->GetEvent());
  EXPECT_TRUE(ab->GetCmd());
  EXPECT_FALSE(ab->PrimaryPort);
  const auto no_id = session_.FindDeviceByAddress("127.0.0.1", p + 2);
  ASSERT_NE(no_id, nullptr);
  EXPECT_FALSE(no_id->PrimaryID) << "a device without ID cannot keep it";
}

TEST_F(DeviceMethods, AddDeviceOnASerialLine) {
  ASSERT_EQ(Run("AddLine", {a_, "RS232", 4, false, 12, 20, 30}), (Answer{0, "i:1"}));
  TakeNotices();
  const std::string factory = device::KeyToText(device::FactoryKey);
  const std::vector<Step> steps = {
      // Short address and key may be left out: the lowest free address and
      // the factory key.
      {"AddDevice", {a_, 1, "00000000000A", false, false}, Str("00000000000A"),
       {{WM_DEVICE_ADDED, "00000000000A", kDesk}, {WM_DEVICE_LOCKED, "00000000000A", kDesk}}},
      {"AddDevice", {a_, 1, "00000000000B", true, true, 5, kKey}, Str("00000000000B"),
       {{WM_DEVICE_ADDED, "00000000000B", kDesk},
        {WM_DEVICE_LOCKED, "00000000000B", kDesk},
        {WM_RESEND_CACHE, "00000000000B", kDesk}}},
      {"AddDevice", {a_, 1, "00000000000C", false, false, 5}, {1, device::ShortAddrTakenText()}, {}},
      // Values of other kinds are not taken: address 0 and the factory key.
      {"AddDevice", {b_, 1, "00000000000C", false, false, "5", 7}, Str("00000000000C"),
       {{WM_DEVICE_ADDED, "00000000000C", kOther}, {WM_DEVICE_LOCKED, "00000000000C", kOther}}},
      {"AddDevice", {a_, 1, "", false, false}, Str("FFFFFFFFFFFF"),
       {{WM_DEVICE_ADDED, "FFFFFFFFFFFF", kDesk}, {WM_DEVICE_LOCKED, "FFFFFFFFFFFF", kDesk}}},
      {"AddDevice", {a_, 1, "", false, false}, {1, device::DuplicateIdText()}, {}},
      // Texts that do not convert fail the call before anything is made.
      {"AddDevice", {a_, 1, "0A1", false, false}, kRange, {}},
      {"AddDevice", {a_, 1, "00000000000D", false, false, 0, kKey + "0"}, kRange, {}},
  };
  RunSteps(steps);
  ASSERT_EQ(session_.Devices().CountOnLine(1), 4u);
  struct Expected {
    std::string id;
    std::uint8_t short_addr;
    std::string key;
  };
  for (const Expected& e : std::vector<Expected>{{"00000000000A", 1, factory},
                                                 {"00000000000B", 5, kKey},
                                                 {"00000000000C", 2, factory},
                                                 {"FFFFFFFFFFFF", 3, factory}}) {
    const auto d = session_.FindDeviceByIdText(e.id);
    ASSERT_NE(d, nullptr) << e.id;
    EXPECT_EQ(d->ShortAddr, e.short_addr) << e.id;
    EXPECT_EQ(d->MasterKeyText(), e.key) << e.id;
    EXPECT_TRUE(d->Enabled) << e.id;
  }
  // Serial devices have no address in the list. Read as clients that keep
  // empty strings read it.
  xmlrpc::TRpcFunction call;
  call.SetObjectMethod("Devices");
  call.AddItem(a_);
  call.AddItem(1);
  xmlrpc::TRpcClientParser parser(true);
  parser.Parse(server_.ExecuteRequest(call.GetRequestXML(), "127.0.0.1", 40000));
  const xmlrpc::TRpcResult r = parser.Result();
  ASSERT_TRUE(r.IsArray());
  ASSERT_EQ(r.AsArray()->Count(), 4);
  EXPECT_EQ(r.AsArray()->Items(0).AsStruct()->KeyList(), (std::vector<std::string>{"MAC", "Subscriber", "Version"}));
}

TEST_F(DeviceMethods, OwnershipLockingAndDeletion) {
  const auto d = Add(a_, "0000000000C1", kPortBase + 300);
  ASSERT_NE(d, nullptr);
  const std::string id = "0000000000C1";
  const Answer by_desk{7, "Object is locked by other user  Device ID : " + id + " " + kDesk};
  const Answer by_other{7, "Object is locked by other user  Device ID : " + id + " " + kOther};
  const Answer unlocked{8, "Object is unlocked  Device ID : " + id + " "};
  const std::vector<Step> steps = {
      {"Connected", {a_, id}, kFalse, {}},
      {"Connected", {b_, id}, by_desk, {}},
      {"Connected", {a_, "0000000000c1"}, kNotFound, {}},  // IDs are found by their exact text
      {"DeviceLock", {a_, id, true}, kEmpty, {}},
      {"DeviceLock", {a_, id, true, false}, {9, "Object is locked by me"}, {}},
      {"DeviceLock", {a_, id, false, false, false, kKey}, {9, "Object is locked by me"}, {}},
      {"DeviceLock", {b_, id, true}, {1, "Device locked " + kDesk}, {}},
      {"DeviceLock", {b_, "0000000000C2", true}, kNotFound, {}},
      {"DeleteDevice", {b_, id}, by_desk, {}},
      // Released by its owner: the registry announces it.
      {"DeviceLock", {a_, id, false}, kEmpty, {{WM_DEVICE_UNLOCKED, id, kDesk}}},
      {"Connected", {a_, id}, unlocked, {}},
      {"GetEvent", {a_, id}, unlocked, {}},
      // A free device: the lock's kind is tested, false does nothing, more
      // than 6 parameters do nothing.
      {"DeviceLock", {b_, id, 1}, kType, {}},
      {"DeviceLock", {b_, id, false}, kEmpty, {}},
      {"DeviceLock", {b_, id, true, true, true, kKey, 7}, kEmpty, {}},
      // A key that does not convert leaves the device free.
      {"DeviceLock", {b_, id, true, true, true, kKey + "0"}, kRange, {}},
      {"DeviceLock", {b_, id, true, "yes"}, {1001, "Item is not a boolean type"}, {}},
      {"Connected", {b_, id}, unlocked, {}},
      // Taken with its options.
      {"DeviceLock", {b_, id, true, true, true, kKey}, kEmpty,
       {{WM_DEVICE_LOCKED, id, kOther}, {WM_RESEND_CACHE, id, kOther}}},
      {"GetEvent", {b_, id}, kTrue, {}},
      {"GetCmd", {b_, id}, kTrue, {}},
      {"MasterKey", {b_, id}, Str(kKey), {}},
      {"Enabled", {b_, id}, kTrue, {}},
      {"DeleteDevice", {a_, id}, by_other, {}},
      {"DeleteDevice", {b_, "0000000000C2"}, kNotFound, {}},
      {"DeleteDevice", {b_, id}, kEmpty, {{WM_DEVICE_DELETED, id, kOther}, {WM_DEVICE_UNLOCKED, id, kOther}}},
      {"Connected", {b_, id}, kNotFound, {}},
      {"DeleteDevice", {b_, id}, kNotFound, {}},
  };
  RunSteps(steps);
  EXPECT_EQ(session_.Devices().Count(), 0u);
  EXPECT_EQ(registry_.DeviceSubscribers().Count(), 0);
  // Released on the way out: disabled, the default key, no owner bits.
  EXPECT_FALSE(d->Enabled);
  EXPECT_EQ(d->MasterKey, device::DefaultKey);
  EXPECT_FALSE(d->GetEvent());
  EXPECT_FALSE(d->GetCmd());
}

TEST_F(DeviceMethods, AFreeDeviceIsAnyonesToDeleteAndReleasingEnds) {
  const auto d = Add(a_, "0000000000C3", kPortBase + 310);
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(Run("DeviceLock", {a_, "0000000000C3", false}), kEmpty);
  EXPECT_FALSE(d->Enabled) << "releasing disables";
  TakeNotices();
  EXPECT_EQ(Run("DeleteDevice", {b_, "0000000000C3"}), kEmpty);
  // Nobody owned it: no unlock notice.
  EXPECT_EQ(TakeNotices(), (std::vector<Notice>{{WM_DEVICE_DELETED, "0000000000C3", kOther}}));
  EXPECT_EQ(session_.Devices().Count(), 0u);
}

TEST_F(DeviceMethods, DeletingAConnectedDeviceDisconnectsItFirst) {
  const auto d = Add(a_, "0000000000C4", kPortBase + 320);
  ASSERT_NE(d, nullptr);
  d->Connected = true;  // as the key exchange would leave it
  // The line's part: nobody takes the logical disconnect from the queue, so
  // the release waits its bounded time and goes on.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Run("DeleteDevice", {a_, "0000000000C4"}), kEmpty);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(TakeNotices(), (std::vector<Notice>{{WM_DEVICE_DELETED, "0000000000C4", kDesk},
                                                {WM_DEVICE_UNLOCKED, "0000000000C4", kDesk}}));
  EXPECT_FALSE(d->Connected);
  EXPECT_FALSE(d->Enabled);
  EXPECT_EQ(session_.Devices().Count(), 0u);
  EXPECT_EQ(registry_.DeviceSubscribers().Count(), 0);
}

TEST_F(DeviceMethods, SettingsReadWriteAndRanges) {
  const auto d = Add(a_, "0000000000D1", kPortBase + 400);
  ASSERT_NE(d, nullptr);
  const std::string id = "0000000000D1";
  const Answer by_desk{7, "Object is locked by other user  Device ID : " + id + " " + kDesk};
  const std::vector<Step> steps = {
      // Enabled and IsLiveMessage: false changes nothing.
      {"Enabled", {a_, id}, kTrue, {}},
      {"Enabled", {a_, id, false}, kEmpty, {}},
      {"Enabled", {a_, id}, kTrue, {}},
      {"Enabled", {a_, id, 1}, kType, {}},
      {"IsLiveMessage", {a_, id}, kTrue, {}},
      {"IsLiveMessage", {a_, id, false}, kEmpty, {}},
      {"IsLiveMessage", {a_, id}, kTrue, {}},
      // Time-outs: doubles when read; what the device cannot hold fails and
      // changes nothing.
      {"LiveMessageTimeOut", {a_, id}, Dbl("10"), {}},
      {"LiveMessageTimeOut", {a_, id, 25}, kEmpty, {}},
      {"LiveMessageTimeOut", {a_, id, -1}, kRange, {}},
      {"LiveMessageTimeOut", {a_, id, "25"}, kType, {}},
      {"LiveMessageTimeOut", {a_, id}, Dbl("25"), {}},
      {"CommandTimeOut", {a_, id}, Dbl("20"), {}},
      {"CommandTimeOut", {a_, id, 5}, kEmpty, {}},
      {"CommandTimeOut", {a_, id}, Dbl("5"), {}},
      {"CommandTimeOut", {a_, id, -1}, kRange, {}},
      {"CommandTimeOut", {a_, id, INT_MAX}, kRange, {}},  // the product overflows
      {"CommandTimeOut", {a_, id, 21474836}, kEmpty, {}},  // the largest that fits
      {"CommandTimeOut", {a_, id}, Dbl("2.14748e+07"), {}},
      {"ConnectTimeOut", {a_, id}, Dbl("30"), {}},
      {"ConnectTimeOut", {a_, id, 40}, kEmpty, {}},
      {"ConnectTimeOut", {a_, id, -5}, kRange, {}},
      {"ConnectTimeOut", {a_, id}, Dbl("40"), {}},
      // Key: not validated, but more than 32 digits do not fit.
      {"MasterKey", {a_, id}, Str(device::KeyToText(device::DefaultKey)), {}},
      {"MasterKey", {a_, id, "0a1b"}, kEmpty, {}},
      {"MasterKey", {a_, id}, Str("0A1B0000000000000000000000000000"), {}},
      {"MasterKey", {a_, id, kKey + "1"}, kRange, {}},
      {"MasterKey", {a_, id, 5}, kType, {}},
      {"MasterKey", {a_, id}, Str("0A1B0000000000000000000000000000"), {}},
      // Address.
      {"Host", {a_, id}, Str("127.0.0.1"), {}},
      {"Host", {a_, id, "127.0.0.5"}, kEmpty, {}},
      {"Host", {a_, id}, Str("127.0.0.5"), {}},
      {"Port", {a_, id}, {0, "i:" + std::to_string(kPortBase + 400)}, {}},
      {"Port", {a_, id, 5000}, kEmpty, {}},
      {"Port", {a_, id, true}, kType, {}},
      {"Port", {a_, id}, {0, "i:5000"}, {}},
      {"MAC", {a_, "127.0.0.5", 5000}, Str(id), {}},
      // Profile bits; GetEvent set here re-sends nothing.
      {"GetEvent", {a_, id}, kFalse, {}},
      {"GetEvent", {a_, id, true}, kEmpty, {}},
      {"GetEvent", {a_, id}, kTrue, {}},
      {"GetCmd", {a_, id, true}, kEmpty, {}},
      {"GetCmd", {a_, id, false}, kEmpty, {}},
      {"GetCmd", {a_, id}, kFalse, {}},
      {"GetCmd", {a_, id, "x"}, kType, {}},
      // Access first, and for every member.
      {"Port", {b_, id, 1}, by_desk, {}},
      {"Host", {b_, id}, by_desk, {}},
      {"CommandTimeOut", {b_, id, "x"}, by_desk, {}},
      {"ConnectTimeOut", {a_, "0000000000D2"}, kNotFound, {}},
      {"GetEvent", {a_, id, true, true}, kCount, {}},
      {"Host", {a_, 5}, kType, {}},
  };
  RunSteps(steps);
  EXPECT_EQ(d->CommandTimeOut, 2147483600);
  EXPECT_EQ(d->LiveMessageTimeOut, 25);
  EXPECT_EQ(d->ConnectTimeOut, 40);
  EXPECT_EQ(d->ProfileByte() & subscribers::kProfileOwnerBits, subscribers::kProfileGetEvent);
}

TEST_F(DeviceMethods, SendDataAndServiceReachTheDeviceQueues) {
  const auto d = Add(a_, "0000000000E1", kPortBase + 500);
  ASSERT_NE(d, nullptr);
  const std::string id = "0000000000E1";
  EXPECT_EQ(Run("SendData", {a_, id, "0A1B"}), (Answer{1, "Device not coonected"}));
  EXPECT_EQ(Run("SendData", {b_, id, "0A1B"}).code, 7);
  EXPECT_EQ(Run("SendData", {a_, "0000000000E2", "0A1B"}), kNotFound);
  EXPECT_TRUE(d->DataQueueEmpty());

  d->Connected = true;
  EXPECT_EQ(Run("SendData", {a_, id, "0A1B"}), kEmpty);
  EXPECT_EQ(Run("SendData", {a_, id, "0a1bZZ"}), kEmpty);
  // Cut off: nothing is sent.
  EXPECT_EQ(Run("SendData", {a_, id, "0A1"}), (Answer{1001, "Odd number of hexadecimal digits in data"}));
  using Bytes = std::vector<std::uint8_t>;
  for (int i = 0; i < 2; ++i) {
    const device::TK2MessagePtr m = d->PopData();
    ASSERT_NE(m, nullptr) << i;
    EXPECT_EQ(m->Data, (Bytes{0x0A, 0x1B}));
    EXPECT_EQ(m->Plain, (Bytes{0x0A, 0x1B}));
  }
  EXPECT_TRUE(d->DataQueueEmpty());

  // Service packets go whether or not the device is connected: encrypted
  // ones into queue 13, plain ones into queue 1.
  d->Connected = false;
  EXPECT_EQ(Run("SendService", {a_, id, "C0DE", true}), kEmpty);
  EXPECT_EQ(Run("SendService", {a_, id, "01", false}), kEmpty);
  EXPECT_EQ(Run("SendService", {a_, id, "010", false}).code, 1001);
  EXPECT_EQ(Run("SendService", {b_, id, "01", false}).code, 7);
  const auto encrypted = d->SendQueues[device::sqService].TryPopFront();
  ASSERT_NE(encrypted, nullptr);
  EXPECT_EQ(encrypted->Data, (Bytes{0xC0, 0xDE}));
  EXPECT_TRUE(encrypted->Flags & device::pfEncrypted);
  const auto plain = d->SendQueues[device::sqPlainService].TryPopFront();
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(plain->Data, (Bytes{0x01}));
  EXPECT_FALSE(plain->Flags & device::pfEncrypted);
  EXPECT_TRUE(d->SendQueues[device::sqService].IsEmpty());
  EXPECT_TRUE(d->SendQueues[device::sqPlainService].IsEmpty());
}

TEST_F(DeviceMethods, AFullDataQueueIsRefusedNotDropped) {
  const auto d = Add(a_, "0000000000E3", kPortBase + 510);
  ASSERT_NE(d, nullptr);
  d->Connected = true;
  for (std::size_t i = 0; i < device::kDataQueueCapacity; ++i) ASSERT_TRUE(d->SubmitData({0x01}));
  EXPECT_EQ(Run("SendData", {a_, "0000000000E3", "02"}), (Answer{1, "Send queue is full"}));
  d->Connected = false;  // no disconnect to wait for at the end
}

TEST_F(DeviceMethods, SubDevicesAndTheirLayout) {
  const auto d = Add(a_, "0000000000F1", kPortBase + 600);
  ASSERT_NE(d, nullptr);
  const std::string id = "0000000000F1";
  const xmlrpc::TRpcResult none = Call(server_, "SubDevices", {a_, id});
  ASSERT_TRUE(none.IsArray());
  EXPECT_EQ(none.AsArray()->Count(), 0);
  {
    std::lock_guard lock(d->SubDeviceLock);
    d->SubDevices.AddSubDevice(1, device::DeviceId{0x06, 0x05, 0x04, 0x03, 0x02, 0x01}, 1);
    d->SubDevices.AddSubDevice(2, device::DeviceId{0x7F, 0, 0, 0, 0, 0}, 0);
  }
  // Read as clients that keep empty strings read it: "Version" is one.
  xmlrpc::TRpcFunction call;
  call.SetObjectMethod("SubDevices");
  call.AddItem(a_);
  call.AddItem(id);
  xmlrpc::TRpcClientParser parser(true);
  parser.Parse(server_.ExecuteRequest(call.GetRequestXML(), "127.0.0.1", 40000));
  const xmlrpc::TRpcResult r = parser.Result();
  ASSERT_TRUE(r.IsArray());
  const xmlrpc::TRpcArray& list = *r.AsArray();
  ASSERT_EQ(list.Count(), 2);
  struct Expected {
    std::string id;
    std::int32_t type;
    std::int32_t state;
  };
  const std::vector<Expected> expected = {{"010203040506", 1, 1}, {"00000000007F", 2, 0}};
  for (int i = 0; i < list.Count(); ++i) {
    ASSERT_TRUE(list.Items(i).IsStruct());
    const xmlrpc::TRpcStruct& s = *list.Items(i).AsStruct();
    EXPECT_EQ(s.KeyList(), (std::vector<std::string>{"ID", "DeviceType", "State", "Version"}));
    ASSERT_EQ(s.Count(), 4);
    EXPECT_EQ(s.Items(0).AsString(), expected[i].id);
    EXPECT_EQ(s.Items(1).AsInteger(), expected[i].type);
    EXPECT_EQ(s.Items(2).AsInteger(), expected[i].state);
    EXPECT_TRUE(s.Items(3).IsString());
    EXPECT_EQ(s.Items(3).AsString(), "");
  }

  const xmlrpc::TRpcResult one = Call(server_, "SubDevice", {a_, id, "00000000007F"});
  ASSERT_TRUE(one.IsStruct());
  EXPECT_EQ(one.AsStruct()->Items(2).AsInteger(), 0);
  EXPECT_EQ(AnswerOf(Call(server_, "SubDevice", {a_, id, "00000000007f"})), kNotFound);
  EXPECT_EQ(AnswerOf(Call(server_, "SubDevice", {b_, id, "00000000007F"})).code, 7);
  EXPECT_EQ(AnswerOf(Call(server_, "SubDevices", {b_, id})).code, 7);
  EXPECT_EQ(AnswerOf(Call(server_, "GetSubDevices", {b_, id})).code, 7);

  // A new list is asked for: the old one is gone until the device answers.
  EXPECT_EQ(AnswerOf(Call(server_, "GetSubDevices", {a_, id})), kEmpty);
  EXPECT_TRUE(d->SubDeviceList().empty());
  EXPECT_FALSE(d->SendQueues[device::sqService].IsEmpty()) << "the routes request";
}

TEST_F(DeviceMethods, DevicesListsTheLinesDevicesWithTheirOwners) {
  ASSERT_NE(Add(a_, "0000000000A1", kPortBase + 700), nullptr);
  ASSERT_NE(Add(b_, "0000000000A2", kPortBase + 701), nullptr);
  ASSERT_EQ(Run("DeviceLock", {b_, "0000000000A2", false}), kEmpty);
  ASSERT_EQ(AnswerOf(Call(server_, "AddLine", {a_, "ETHERNET", kPortBase + 1, false, false, kPortBase + 101})),
            (Answer{0, "i:1"}));
  ASSERT_EQ(Run("AddDevice", {a_, 1, "0000000000B1", false, false, true, "127.0.0.1", kPortBase + 702, true, false})
                .code,
            0);

  EXPECT_EQ(AnswerOf(Call(server_, "Devices", {a_, 7})), (Answer{3, "Not Line ID : 7"}));
  xmlrpc::TRpcFunction call;
  call.SetObjectMethod("Devices");
  call.AddItem(b_);  // no ownership needed
  call.AddItem(0);
  xmlrpc::TRpcClientParser parser(true);
  parser.Parse(server_.ExecuteRequest(call.GetRequestXML(), "127.0.0.1", 40001));
  const xmlrpc::TRpcResult r = parser.Result();
  ASSERT_TRUE(r.IsArray()) << (r.IsError() ? r.ErrorMsg() : "no array");
  const xmlrpc::TRpcArray& list = *r.AsArray();
  ASSERT_EQ(list.Count(), 2);
  const std::vector<std::vector<std::string>> expected = {
      {"0000000000A1", "127.0.0.1", std::to_string(kPortBase + 700), kDesk},
      {"0000000000A2", "127.0.0.1", std::to_string(kPortBase + 701), ""}};
  for (int i = 0; i < list.Count(); ++i) {
    const xmlrpc::TRpcStruct& s = *list.Items(i).AsStruct();
    EXPECT_EQ(s.KeyList(), (std::vector<std::string>{"MAC", "Host", "Port", "Subscriber", "Version"}));
    ASSERT_EQ(s.Count(), 5);
    EXPECT_EQ(s.Items(0).AsString(), expected[i][0]);
    EXPECT_EQ(s.Items(1).AsString(), expected[i][1]);
    EXPECT_EQ(std::to_string(s.Items(2).AsInteger()), expected[i][2]);
    EXPECT_EQ(s.Items(3).AsString(), expected[i][3]);
    EXPECT_EQ(s.Items(4).AsString(), "");
  }
}

TEST_F(DeviceMethods, DeletingTheLineTakesItsOwnedDevices) {
  ASSERT_NE(Add(a_, "0000000000A1", kPortBase + 800), nullptr);
  EXPECT_EQ(Run("DeleteLine", {a_, 0}), kEmpty);
  EXPECT_EQ(TakeNotices(), (std::vector<Notice>{{WM_LINE_UNLOCKED, "0", kDesk},
                                                {WM_DEVICE_UNLOCKED, "0000000000A1", kDesk},
                                                {WM_LINE_DELETED, "0", kDesk}}));
  EXPECT_EQ(session_.Devices().Count(), 0u);
  EXPECT_EQ(Run("Connected", {a_, "0000000000A1"}), kNotFound);
}

}  // namespace
}  // namespace kavor2::service
