#include "subscribers/subscribers_info.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/tcp.h"
#include "subscribers/registry_fakes.h"

namespace kavor2::subscribers {
namespace {

using namespace std::chrono_literals;
using testing::FakeDevice;
using testing::FakeLine;
using testing::Notice;
using testing::RecordingWindow;

platform::Guid Cert(std::uint8_t n) {
  platform::Guid g;
  g.bytes[0] = n;
  return g;
}

// --- one subscriber

struct ModeCase {
  std::string name;
  TSubscriberMode mode;
};

TEST(SubscriberMode, FollowsTheMarkersInTheClientName) {
  const std::vector<ModeCase> cases = {
      {"Operator", smNormal},
      {"Operator ($DebugMode)", smDebug},
      {"Operator ($CommandMode)", smCommand},
      {" ($CommandMode) Operator ($DebugMode)", smDebug},  // both: debug wins, wherever they stand
      {" ($DebugMode) ($CommandMode)", smDebug},
      {"Operator($DebugMode)", smNormal},    // the marker includes its leading space
      {"Operator ($debugmode)", smNormal},   // and its letter case
      {"", smNormal},
  };
  platform::EventLoop loop;
  for (const auto& c : cases) {
    TSubscriber s(loop);
    s.SetClientName(c.name);
    EXPECT_EQ(s.Mode(), c.mode) << "'" << c.name << "'";
    EXPECT_EQ(s.ClientName(), c.name) << "stored as given";
  }
}

TEST(Subscriber, DisplayTextAndCallbackEndpoint) {
  platform::EventLoop loop;
  TSubscriber s(loop);
  s.SetClientName("Desk ($DebugMode)");
  s.SetCallback("192.0.2.7", 9001);
  EXPECT_EQ(s.DisplayText(), "Desk ($DebugMode) ( 192.0.2.7 : 9001)");
  EXPECT_EQ(s.CallbackClient().HostName(), "192.0.2.7");
  EXPECT_EQ(s.CallbackClient().HostPort(), 9001);
  EXPECT_EQ(s.ConnectAttempts, 0);
}

// --- the collection

class Registry : public ::testing::Test {
 protected:
  Registry() { info_.SetWindow(&window_); }

  TSubscriber& Add(const std::string& name, std::uint8_t cert, const std::string& ip, std::int32_t conn_port,
                   std::int32_t cb_port) {
    TSubscriber& s = info_.Subscribers().AddSubscriber();
    s.SetClientName(name);
    s.Certificate = Cert(cert);
    s.ConnectionIP = ip;
    s.ConnectionPort = conn_port;
    s.SetCallback(ip, cb_port);
    return s;
  }

  // Entries refer to these, so they outlive the registry.
  FakeLine& Line(std::int32_t id) { return lines_.emplace_back(id); }
  FakeDevice& Device(const std::string& id_text, std::int32_t line_id, std::uint8_t profile) {
    return devices_.emplace_back(id_text, line_id, profile);
  }

  std::deque<FakeLine> lines_;
  std::deque<FakeDevice> devices_;
  platform::EventLoop loop_;  // not run: no call is made here
  RecordingWindow window_;
  std::unique_ptr<TSubscribersInfo> owner_{std::make_unique<TSubscribersInfo>(loop_)};
  TSubscribersInfo& info_ = *owner_;
};

TEST_F(Registry, LookupsGiveTheFirstMatchOrNothing) {
  TSubscriber& a = Add("A", 1, "127.0.0.1", 5000, 9000);
  TSubscriber& b = Add("B", 2, "127.0.0.1", 5000, 9000);  // same endpoints as A: A is found
  TSubscriber& c = Add("C", 3, "127.0.0.2", 5001, 9001);

  struct Case {
    std::string what;
    TSubscriber* found;
    TSubscriber* expected;
  };
  const std::vector<Case> cases = {
      {"callback", info_.FindByCallback("127.0.0.1", 9000), &a},
      {"callback other", info_.FindByCallback("127.0.0.2", 9001), &c},
      {"callback wrong port", info_.FindByCallback("127.0.0.2", 9000), nullptr},
      {"callback is exact text", info_.FindByCallback("127.0.0.01", 9000), nullptr},
      {"connection", info_.FindByConnection("127.0.0.1", 5000), &a},
      {"connection other", info_.FindByConnection("127.0.0.2", 5001), &c},
      {"connection port is the connection's", info_.FindByConnection("127.0.0.1", 9000), nullptr},
      {"certificate", info_.FindByCertificate(Cert(2)), &b},
      {"certificate unknown", info_.FindByCertificate(Cert(9)), nullptr},
  };
  for (const auto& k : cases) EXPECT_EQ(k.found, k.expected) << k.what;

  EXPECT_EQ(info_.DisplayTextOf(Cert(3)), "C ( 127.0.0.2 : 9001)");
  EXPECT_EQ(info_.DisplayTextOf(Cert(9)), "");
  EXPECT_EQ(info_.DisplayTextOf(platform::Guid{}), "");
}

TEST_F(Registry, DeleteByConnectionDestroysOnlyTheFirstMatch) {
  Add("A", 1, "127.0.0.1", 5000, 9000);
  Add("B", 2, "127.0.0.1", 5000, 9001);
  info_.DeleteByConnection("127.0.0.1", 5000);
  ASSERT_EQ(info_.Subscribers().Count(), 1);
  EXPECT_EQ(info_.Subscribers().Items(0).ClientName(), "B");
  info_.DeleteByConnection("127.0.0.1", 5999);  // nobody: nothing happens
  EXPECT_EQ(info_.Subscribers().Count(), 1);
}

TEST_F(Registry, DestroyingASubscriberReleasesItsDevicesThenItsLinesNamingIt) {
  Add("A", 1, "127.0.0.1", 5000, 9000);
  Add("B", 2, "127.0.0.1", 5001, 9001);
  FakeLine &l1 = Line(1), &l2 = Line(2), &l3 = Line(3);
  FakeDevice &d1 = Device("0000000000A1", 1, 0xFF), &d2 = Device("0000000000B2", 3, 0xFF);
  info_.AddLineEntry(l1, Cert(1));
  info_.AddLineEntry(l3, Cert(2));
  info_.AddDeviceEntry(d1, Cert(1));
  info_.AddLineEntry(l2, Cert(1));
  info_.AddDeviceEntry(d2, Cert(2));

  info_.DeleteByConnection("127.0.0.1", 5000);

  const std::string a = "A ( 127.0.0.1 : 9000)";
  EXPECT_EQ(window_.notices, (std::vector<Notice>{{"WM_DEVICE_UNLOCKED", 0, "0000000000A1", a},
                                                  {"WM_LINE_UNLOCKED", 2, "1", a},
                                                  {"WM_LINE_UNLOCKED", 2, "2", a}}));
  EXPECT_TRUE(d1.released);
  EXPECT_FALSE(d2.released);
  EXPECT_EQ(info_.LineSubscribers().Count(), 1);
  EXPECT_EQ(info_.DeviceSubscribers().Count(), 1);
  EXPECT_EQ(info_.FindByCertificate(Cert(1)), nullptr);
}

TEST_F(Registry, ReleaseLinesRemovesOnlyWhatTheCertificateOwns) {
  Add("A", 1, "127.0.0.1", 5000, 9000);
  FakeLine &mine = Line(1), &theirs = Line(2), &free_line = Line(3);
  info_.AddLineEntry(mine, Cert(1));
  info_.AddLineEntry(theirs, Cert(2));

  info_.ReleaseLines(Cert(1), &theirs);     // owned by another
  info_.ReleaseLines(Cert(1), &free_line);  // owned by nobody
  info_.ReleaseLines(Cert(7));              // a certificate that owns nothing
  EXPECT_TRUE(window_.notices.empty());
  EXPECT_EQ(info_.LineSubscribers().Count(), 2);

  info_.ReleaseLines(Cert(1), &mine);
  EXPECT_EQ(window_.notices, (std::vector<Notice>{{"WM_LINE_UNLOCKED", 2, "1", "A ( 127.0.0.1 : 9000)"}}));
  ASSERT_EQ(info_.LineSubscribers().Count(), 1);
  EXPECT_EQ(info_.LineSubscribers().Items(0).Line, &theirs);
}

TEST_F(Registry, ReleaseWithAnObjectRemovesOneEntryAndWithoutRemovesAll) {
  FakeLine& l = Line(4);
  info_.AddLineEntry(l, Cert(1));
  info_.AddLineEntry(l, Cert(1));  // the registry does not refuse duplicates
  info_.ReleaseLines(Cert(1), &l);
  EXPECT_EQ(info_.LineSubscribers().Count(), 1);
  FakeLine& other = Line(5);
  info_.AddLineEntry(other, Cert(1));
  info_.ReleaseLines(Cert(1));
  EXPECT_EQ(info_.LineSubscribers().Count(), 0);
  // The owner is no registered subscriber: the notices name nobody.
  EXPECT_EQ(window_.notices, (std::vector<Notice>{{"WM_LINE_UNLOCKED", 2, "4", ""},
                                                  {"WM_LINE_UNLOCKED", 2, "4", ""},
                                                  {"WM_LINE_UNLOCKED", 2, "5", ""}}));
}

// Whatever removes a device entry, the device loses the owner's profile
// bits (and only those), is released after that, and the notice follows.
TEST_F(Registry, ARemovedDeviceEntryReleasesTheDevice) {
  const std::vector<std::pair<std::string, std::function<void(TSubscribersInfo&, FakeDevice&, FakeLine&)>>> ways = {
      {"RemoveDeviceEntry", [](TSubscribersInfo& r, FakeDevice& d, FakeLine&) { r.RemoveDeviceEntry(d); }},
      {"ReleaseDevices with the device",
       [](TSubscribersInfo& r, FakeDevice& d, FakeLine&) { r.ReleaseDevices(Cert(1), &d); }},
      {"ReleaseDevices of the owner", [](TSubscribersInfo& r, FakeDevice&, FakeLine&) { r.ReleaseDevices(Cert(1)); }},
      {"RemoveLineDevices", [](TSubscribersInfo& r, FakeDevice&, FakeLine& l) { r.RemoveLineDevices(l); }},
      {"DeleteByConnection", [](TSubscribersInfo& r, FakeDevice&, FakeLine&) { r.DeleteByConnection("10.0.0.1", 1); }},
  };
  for (const auto& [what, remove] : ways) {
    FakeLine line(7);
    FakeDevice device("0011223344FF", 7, 0xFF);
    RecordingWindow window;
    TSubscribersInfo registry(loop_);
    registry.SetWindow(&window);
    TSubscriber& s = registry.Subscribers().AddSubscriber();
    s.Certificate = Cert(1);
    s.ConnectionIP = "10.0.0.1";
    s.ConnectionPort = 1;
    registry.AddDeviceEntry(device, Cert(1));

    remove(registry, device, line);

    EXPECT_EQ(device.Profile(), 0xDD) << what;
    EXPECT_EQ(device.calls, (std::vector<std::string>{"SetProfile", "Release"})) << what;
    EXPECT_EQ(registry.DeviceSubscribers().Count(), 0) << what;
    ASSERT_EQ(window.notices.size(), 1u) << what;
    EXPECT_EQ(window.notices[0].message, "WM_DEVICE_UNLOCKED") << what;
    EXPECT_EQ(window.notices[0].subject, "0011223344FF") << what;
  }
}

TEST_F(Registry, RemoveDeviceEntryAndRemoveLineDevicesIgnoreTheOwner) {
  FakeDevice &on7a = Device("0000000000A1", 7, 0x22), &on8 = Device("0000000000B2", 8, 0x22),
             &on7b = Device("0000000000C3", 7, 0x22);
  info_.AddDeviceEntry(on7a, Cert(1));
  info_.AddDeviceEntry(on8, Cert(2));
  info_.AddDeviceEntry(on7b, Cert(3));
  FakeLine& line7 = Line(7);
  info_.RemoveLineDevices(line7);
  EXPECT_TRUE(on7a.released);
  EXPECT_TRUE(on7b.released);
  EXPECT_FALSE(on8.released);
  EXPECT_EQ(on7a.Profile(), 0x00);
  ASSERT_EQ(info_.DeviceSubscribers().Count(), 1);
  EXPECT_EQ(info_.DeviceSubscribers().Items(0).Device, &on8);

  FakeDevice& never_owned = Device("0000000000D4", 8, 0x22);
  info_.RemoveDeviceEntry(never_owned);
  EXPECT_FALSE(never_owned.released);
  info_.RemoveDeviceEntry(on8);
  EXPECT_TRUE(on8.released);
  EXPECT_EQ(window_.notices.size(), 3u);
}

TEST_F(Registry, FreeingTheRegistryDestroysSubscribersFirstThenLeftoverEntries) {
  Add("A", 1, "127.0.0.1", 5000, 9000);
  FakeLine &owned = Line(1), &orphan_line = Line(2);
  FakeDevice& orphan_device = Device("0000000000E5", 2, 0x02);
  info_.AddDeviceEntry(orphan_device, Cert(9));
  info_.AddLineEntry(orphan_line, Cert(9));
  info_.AddLineEntry(owned, Cert(1));

  owner_.reset();

  EXPECT_EQ(window_.notices, (std::vector<Notice>{{"WM_LINE_UNLOCKED", 2, "1", "A ( 127.0.0.1 : 9000)"},
                                                  {"WM_LINE_UNLOCKED", 2, "2", ""},
                                                  {"WM_DEVICE_UNLOCKED", 0, "0000000000E5", ""}}));
  EXPECT_TRUE(orphan_device.released);
}

TEST_F(Registry, WithoutAWindowNoticesAreDropped) {
  info_.SetWindow(nullptr);
  FakeDevice& d = Device("0000000000F6", 1, 0x20);
  info_.AddDeviceEntry(d, Cert(1));
  info_.RemoveDeviceEntry(d);
  EXPECT_TRUE(d.released);
  EXPECT_TRUE(window_.notices.empty());
}

// --- the callback client's wiring

TEST(AddSubscriber, WiresTheCallbackClient) {
  platform::EventLoop loop;
  TSubscribers subscribers(loop);
  subscribers.Crypt = true;
  subscribers.OnTraffic = [](xmlrpc::TRpcClient&, const std::string&) {};
  TSubscriber& s = subscribers.AddSubscriber();
  EXPECT_TRUE(s.CallbackClient().AESCrypt());
  subscribers.Crypt = false;
  EXPECT_FALSE(subscribers.AddSubscriber().CallbackClient().AESCrypt());
  ASSERT_TRUE(s.CallbackClient().OnSendXML);
  ASSERT_TRUE(s.CallbackClient().OnReceiveXML);
  ASSERT_TRUE(s.CallbackClient().OnBeforeExecute);
}

// A call through the client stamps LastActivity when it is made, and its
// failure comes back through the registry's result and error handlers on
// the loop thread.
TEST(AddSubscriber, CallsStampActivityAndReportTheirOutcome) {
  platform::EventLoop loop;
  std::thread loop_thread([&] { loop.Run(); });

  std::int32_t dead_port = 0;
  {
    platform::TcpListener probe;  // closed again at once: nobody listens there
    ASSERT_TRUE(probe.Open(0).ok());
    dead_port = probe.Port();
  }

  std::mutex mutex;
  std::condition_variable seen;
  bool result_seen = false;
  std::int32_t result_port = 0;
  bool on_loop = false;
  auto subscribers = std::make_unique<TSubscribers>(loop);
  subscribers->OnCallResult = [&](xmlrpc::TRpcClient&, const std::string&, const std::string&, const std::string&,
                                  const xmlrpc::IRpcResult& r, std::int32_t port) {
    std::lock_guard<std::mutex> lock(mutex);
    result_port = port;
    on_loop = loop.OnLoopThread() && r->IsError();
    result_seen = true;
    seen.notify_all();
  };
  TSubscriber* s = nullptr;
  std::int64_t before = 0;
  ASSERT_TRUE(loop.Call<bool>([&] {
    s = &subscribers->AddSubscriber();
    s->SetCallback("127.0.0.1", dead_port);
    s->LastActivity = 0;
    auto call = std::make_shared<xmlrpc::TRpcFunction>();
    call->SetObjectMethod("State");
    call->AddItem(std::int32_t{20});
    xmlrpc::TRpcResult ignored;
    before = CounterNow();
    s->CallbackClient().Execute(call, true, ignored, {}, dead_port, "127.0.0.1");
    return s->LastActivity >= before;
  }).value_or(false));

  {
    std::unique_lock<std::mutex> lock(mutex);
    EXPECT_TRUE(seen.wait_for(lock, 10s, [&] { return result_seen; }));
    EXPECT_TRUE(on_loop);
    EXPECT_EQ(result_port, dead_port);
  }

  loop.Call<bool>([&] {
    subscribers.reset();
    return true;
  });
  loop.Stop();
  loop_thread.join();
}

}  // namespace
}  // namespace kavor2::subscribers
