// Callback connection, call results, release and the liveness check, with
// real callback servers on loopback and the host window dispatching on a
// service thread of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/guid.h"
#include "platform/tcp.h"
#include "service/delivery.h"
#include "service/host_dispatch.h"
#include "service/delivery_host.h"
#include "service/host_test_support.h"
#include "service/host_window_port.h"
#include "service/liveness.h"
#include "subscribers/subscribers_info.h"

namespace kavor2::service {
namespace {

using namespace std::chrono_literals;
using subscribers::TSubscriber;
using testing::CallbackServer;
using testing::DeadPort;
using testing::kDeadline;
using testing::LoopThread;
using testing::RecordingLog;
using testing::RecordingPoster;
using Calls = std::vector<CallbackServer::Received>;

constexpr std::int64_t kTicksPerSecond =
    std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::seconds(1)).count();

using Host = testing::DeliveryHost;

std::vector<std::string> Notice(std::int32_t code, const TSubscriber& about) {
  return {std::to_string(code), platform::GuidToText(about.Certificate), about.DisplayText()};
}

TEST(CallbackConnection, ConnectsAndTellsTheDebugAndCommandSubscribers) {
  CallbackServer debug_server, command_server, normal_server;
  Host host;
  host.Add("D ($DebugMode)", 50001, debug_server.Port());
  host.Add("C ($CommandMode)", 50002, command_server.Port());
  const TSubscriber* fresh = host.Add("N", 50003, normal_server.Port());

  host.Post(WM_CONNECT_CALLBACK, 50003);

  const Calls to_debug = debug_server.WaitForCalls(1);
  const Calls to_command = command_server.WaitForCalls(1);
  ASSERT_EQ(to_debug.size(), 1u);
  EXPECT_EQ(to_debug[0].method, "State");
  EXPECT_EQ(to_debug[0].params, Notice(20, *fresh));
  ASSERT_EQ(to_command.size(), 1u);
  EXPECT_EQ(to_command[0].params, Notice(20, *fresh));
  EXPECT_TRUE(normal_server.Calls().empty());
  EXPECT_EQ(host.log_.Entries(), std::vector<std::string>{"Callback connect to subscriber (127.0.0.1 : " +
                                                          std::to_string(normal_server.Port()) + ")"});
  bool connected = false;
  host.service_.Sync([&] { connected = host.registry_->FindByConnection("127.0.0.1", 50003)->CallbackClient().Connected(); });
  EXPECT_TRUE(connected);
}

TEST(CallbackConnection, ADeadCallbackIsTriedFiveTimesThenReleased) {
  CallbackServer debug_server;
  Host host;
  host.Add("D ($DebugMode)", 50001, debug_server.Port());
  const std::int32_t dead = DeadPort();
  const TSubscriber* gone = host.Add("X", 50009, dead);
  const std::vector<std::string> expected_notice = Notice(21, *gone);

  host.Post(WM_CONNECT_CALLBACK, 50009);

  ASSERT_TRUE(host.log_.WaitFor("Release subscriber on disconnect (127.0.0.1 : 50009)"));
  const Calls to_debug = debug_server.WaitForCalls(1);
  ASSERT_EQ(to_debug.size(), 1u);
  EXPECT_EQ(to_debug[0].params, expected_notice);
  EXPECT_FALSE(host.Registered(50009));

  const std::string where = " ( 127.0.0.1 : " + std::to_string(dead) + ") Error : ";
  std::vector<std::string> attempts;
  for (const auto& e : host.log_.Entries()) {
    if (e.starts_with("Not callback connect")) attempts.push_back(e.substr(0, e.find(where) + where.size()));
  }
  std::vector<std::string> expected;
  for (int i = 0; i < kMaxConnectAttempts; ++i) expected.push_back("Not callback connect , attempt :" + std::to_string(i) + where);
  EXPECT_EQ(attempts, expected);
  EXPECT_EQ(host.log_.CountStartingWith("Callback connect to subscriber (127.0.0.1 : " + std::to_string(dead) + ")"),
            kMaxConnectAttempts);
}

// A callback server that accepts connections and never answers.
class SilentServer {
 public:
  SilentServer() {
    EXPECT_TRUE(listener_.Open(0).ok());
    thread_ = std::thread([this] {
      std::unique_ptr<platform::TcpConnection> c;
      while (listener_.Accept(c).ok()) {
        std::lock_guard<std::mutex> lock(mutex_);
        held_.push_back(std::move(c));
      }
    });
  }
  ~SilentServer() {
    listener_.Stop();
    thread_.join();
  }
  std::int32_t Port() const { return listener_.Port(); }

 private:
  platform::TcpListener listener_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<platform::TcpConnection>> held_;
  std::thread thread_;
};

TEST(CallResults, ASilentCallbackFailsAfterTheReadTimeOutWithoutHoldingTheServiceThread) {
  SilentServer silent;
  Host host;
  TSubscriber* s = host.Add("S ($DebugMode)", 50020, silent.Port());
  const auto start = std::chrono::steady_clock::now();
  host.service_.Sync([&] { host.delivery_->NotifySubscriberEvent(kNotifySubscriberConnected, *s); });

  // While the call hangs, the service thread goes on answering at once.
  for (int i = 0; i < 5; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    host.service_.Sync([] {});
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
  }
  ASSERT_TRUE(host.log_.WaitFor("Release subscriber on disconnect (127.0.0.1 : 50020)"));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(subscribers::kCallbackReadTimeoutMs - 500));
  // The transport error; the failed result may follow or find the
  // subscriber released already.
  EXPECT_EQ(host.log_.CountStartingWith("Error send ( 127.0.0.1 : " + std::to_string(silent.Port()) +
                                        " )  MethodName : State"),
            1);
  EXPECT_FALSE(host.Registered(50020));
}

// Results handled without a running window: what is posted is recorded.
class Results : public ::testing::Test {
 protected:
  Results() {
    subscriber_ = &registry_.Subscribers().AddSubscriber();
    subscriber_->SetCallback("127.0.0.1", 9000);
    subscriber_->ConnectionIP = "127.0.0.1";
    subscriber_->ConnectionPort = 40000;
  }
  static xmlrpc::IRpcResult Fault(std::int32_t code) {
    auto r = std::make_shared<xmlrpc::TRpcResult>();
    r->SetError(code, "Boom");
    return r;
  }

  platform::EventLoop loop_;
  RecordingLog log_;
  RecordingPoster window_;
  subscribers::TSubscribersInfo registry_{loop_};
  TDelivery delivery_{registry_, window_, log_};
  TLiveness liveness_{registry_, window_, log_, delivery_};
  TSubscriber* subscriber_ = nullptr;
};

TEST_F(Results, AFailedCallReleasesExceptThePingsThatWereAnswered) {
  struct Case {
    std::string method;
    std::int32_t code;
    bool released;
  };
  const std::vector<Case> cases = {
      {"Ping", 1000, false}, {"Ping", 601, false},   {"Ping", 1001, true},
      {"Ping", 10060, true}, {"State", 1000, true}, {"Data", 601, true},
  };
  for (const Case& c : cases) {
    window_.posted.clear();
    delivery_.OnCallResult(subscriber_->CallbackClient(), "{G}", c.method, "127.0.0.1", Fault(c.code), 9000);
    EXPECT_EQ(window_.posted.size(), c.released ? 1u : 0u) << c.method << " " << c.code;
    if (c.released && !window_.posted.empty()) {
      EXPECT_EQ(window_.posted[0].msg, WM_RELEASE_SUBSCRIBER);
      EXPECT_EQ(window_.posted[0].port, 40000) << "the connection endpoint";
    }
  }
  EXPECT_EQ(log_.Entries().front(), "Error send ( 127.0.0.1 : 9000 ) 1001 Boom MethodName : Ping");

  // A fault of a callback endpoint nobody has any more: nothing.
  window_.posted.clear();
  delivery_.OnCallResult(subscriber_->CallbackClient(), "{G}", "State", "127.0.0.1", Fault(1001), 9999);
  EXPECT_TRUE(window_.posted.empty());
}

TEST_F(Results, AnAcceptedCallIsReportedByItsTransaction) {
  std::vector<std::string> accepted;
  delivery_.OnCallAccepted = [&](const std::string& guid) { accepted.push_back(guid); };
  delivery_.OnCallResult(subscriber_->CallbackClient(), "{T1}", "Data", "127.0.0.1",
                         std::make_shared<xmlrpc::TRpcResult>(), 9000);
  EXPECT_EQ(accepted, std::vector<std::string>{"{T1}"});
  EXPECT_TRUE(window_.posted.empty());
  EXPECT_TRUE(log_.Entries().empty());
}

TEST_F(Results, ACallErrorIsLoggedAndReleases) {
  delivery_.OnCallError(nullptr, "{G}", "State", "127.0.0.1", 9000, 0);
  delivery_.OnCallError(nullptr, "{G}", "State", "127.0.0.1", 9999, 0);
  EXPECT_EQ(log_.Entries(), (std::vector<std::string>{"Error send ( 127.0.0.1 : 9000 )  MethodName : State",
                                                      "Error send ( 127.0.0.1 : 9999 )  MethodName : State"}));
  ASSERT_EQ(window_.posted.size(), 1u);
  EXPECT_EQ(window_.posted[0].msg, WM_RELEASE_SUBSCRIBER);
}

TEST_F(Results, ServerConnectionEvents) {
  liveness_.OnClientConnect("127.0.0.1", 40001);  // nobody registered over it
  EXPECT_EQ(registry_.Subscribers().Count(), 1);
  liveness_.OnClientConnect("127.0.0.1", 40000);  // the old registration's connection is gone
  EXPECT_EQ(registry_.Subscribers().Count(), 0);
  liveness_.OnClientDisconnect("127.0.0.1", 40002);
  EXPECT_EQ(log_.Entries(), (std::vector<std::string>{
                                "Client \xF1onnect RPC server( 127.0.0.1 : 40001 ) ",
                                "Release Subscriber on new client connect ( 127.0.0.1 : 40000 ) ",
                                "Client \xF1onnect RPC server( 127.0.0.1 : 40000 ) ",
                                "Client disconnect RPC server ( 127.0.0.1 : 40002 ) ",
                            }));
  ASSERT_EQ(window_.posted.size(), 1u);
  EXPECT_EQ(window_.posted[0].msg, WM_RELEASE_SUBSCRIBER);
  EXPECT_EQ(window_.posted[0].port, 40002);
}

class FakeLine : public subscribers::IOwnedLine {
 public:
  std::int32_t LineId() const override { return 6; }
};

TEST(Release, TellsDebugAndCommandSubscribersAndUnlocksWhatTheSubscriberOwned) {
  CallbackServer debug_server, command_server, normal_server, released_server;
  FakeLine line;
  Host host;
  host.Add("D ($DebugMode)", 50001, debug_server.Port());
  host.Add("C ($CommandMode)", 50002, command_server.Port());
  host.Add("N", 50003, normal_server.Port());
  TSubscriber* x = host.Add("X", 50004, released_server.Port());
  const std::vector<std::string> released = Notice(21, *x);
  const std::vector<std::string> unlocked = {"5", "6", x->DisplayText()};
  host.service_.Sync([&] { host.registry_->AddLineEntry(line, x->Certificate); });

  host.Post(WM_RELEASE_SUBSCRIBER, 50004);
  host.Post(WM_RELEASE_SUBSCRIBER, 50099);  // nobody: only the entry

  const Calls to_debug = debug_server.WaitForCalls(2);
  ASSERT_EQ(to_debug.size(), 2u);
  EXPECT_EQ(to_debug[0].params, released);
  EXPECT_EQ(to_debug[1].params, unlocked);
  const Calls to_command = command_server.WaitForCalls(2);
  ASSERT_EQ(to_command.size(), 2u);
  EXPECT_EQ(to_command[0].params, released);
  const Calls to_normal = normal_server.WaitForCalls(1);
  ASSERT_EQ(to_normal.size(), 1u);
  EXPECT_EQ(to_normal[0].params, unlocked);
  EXPECT_FALSE(host.Registered(50004));
  EXPECT_TRUE(host.log_.WaitFor("Release subscriber on disconnect (127.0.0.1 : 50099)"));
  EXPECT_EQ(host.log_.CountStartingWith("Release subscriber on disconnect (127.0.0.1 : 50004)"), 1);
}

TEST(CheckClients, PingsIdleSubscribersAndGivesUpUnreachableOnes) {
  CallbackServer live_server;
  Host host;
  TSubscriber* idle = host.Add("Idle", 50011, live_server.Port());
  const std::int32_t dead = DeadPort();
  host.Add("Unreachable", 50012, dead);
  host.Add("Busy", 50013, dead);
  host.service_.Sync([&] {
    idle->CallbackClient().Connect();
    const std::int64_t long_ago = subscribers::CounterNow() - 6 * kTicksPerSecond;
    for (int i = 0; i < 2; ++i) host.registry_->Subscribers().Items(i).LastActivity = long_ago;
  });

  host.port_->Post(WM_CHECK_CLIENTS);

  const Calls pings = live_server.WaitForCalls(1);
  ASSERT_EQ(pings.size(), 1u);
  EXPECT_EQ(pings[0].method, "Ping");
  EXPECT_TRUE(pings[0].params.empty());
  ASSERT_TRUE(host.log_.WaitFor("Release subscriber on disconnect (127.0.0.1 : 50012)"));
  const std::vector<std::string> entries = host.log_.Entries();
  ASSERT_GE(entries.size(), 3u);
  EXPECT_EQ(entries[0], "Connect subscriber from check (127.0.0.1 : 50012)");
  EXPECT_EQ(entries[1], "Connect , not callback , release subscriber ( 127.0.0.1 : 50012)");
  EXPECT_TRUE(host.Registered(50011));
  EXPECT_TRUE(host.Registered(50013)) << "recently active: not checked";
  EXPECT_EQ(host.log_.CountStartingWith("Connect subscriber from check (127.0.0.1 : 50013)"), 0);
}

// Records the posts of another thread.
class ThreadPoster : public IHostPoster {
 public:
  bool Post(std::uint32_t msg, std::unique_ptr<HostRecord>) override {
    std::lock_guard<std::mutex> lock(mutex_);
    posted_.push_back(msg);
    changed_.notify_all();
    return true;
  }
  bool WaitFor(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kDeadline, [&] { return posted_.size() >= count; });
  }
  std::vector<std::uint32_t> Posted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return posted_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::uint32_t> posted_;
};

TEST(ClientCheckThread, PostsTheCheckEveryIntervalAndEndsAtOnce) {
  ThreadPoster window;
  TClientCheckTread thread(window, 30ms);
  EXPECT_FALSE(thread.Finished());
  thread.Resume();
  ASSERT_TRUE(window.WaitFor(2));
  const auto t0 = std::chrono::steady_clock::now();
  thread.Terminate();
  while (!thread.Finished() && std::chrono::steady_clock::now() - t0 < kDeadline) std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(thread.Finished());
  for (std::uint32_t msg : window.Posted()) EXPECT_EQ(msg, WM_CHECK_CLIENTS);

  TClientCheckTread never_started(window);
  never_started.Terminate();
  EXPECT_TRUE(never_started.Finished());
}

}  // namespace
}  // namespace kavor2::service
