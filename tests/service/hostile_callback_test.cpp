// Subscribers whose callback servers misbehave, all served at once by the
// host: each is released within the callback client's time limits, while
// the service thread answers at once and a well-behaved subscriber goes on
// receiving every notification.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "device/k2_message.h"
#include "service/delivery.h"
#include "service/host_dispatch.h"
#include "service/delivery_host.h"
#include "service/host_test_support.h"
#include "service/host_window_port.h"
#include "service/liveness.h"
#include "subscribers/subscribers_info.h"
#include "xmlrpc/hostile_callbacks.h"
#include "xmlrpc/http_exchange.h"

namespace kavor2::service {
namespace {

using namespace std::chrono_literals;
using subscribers::TSubscriber;
using testing::CallbackServer;
using testing::LoopThread;
using testing::RecordingLog;
using xmlrpc::testing::HostileBound;
using xmlrpc::testing::HostileCallback;
using xmlrpc::testing::RawPeer;
using Clock = std::chrono::steady_clock;

// The slow servers send a byte a second.
constexpr auto kTick = 1s;
// Beyond the client's limits: scheduling, and the release message's turn.
constexpr auto kSlack = 3s;
constexpr auto kGiveUp = 40s;
// What "at once" means for the service thread and for a healthy subscriber:
// Connect runs on the service thread and may wait out one connect time-out
// for a callback connection that a hostile peer holds, and no longer.
constexpr auto kPrompt = xmlrpc::kConnectTimeout + 1s;
constexpr std::int32_t kGoodConnectionPort = 50300;

using Host = testing::DeliveryHost;

struct HostilePeer {
  explicit HostilePeer(const HostileCallback& h) : hostile(h), peer(xmlrpc::testing::HostileScript(peer, h, kTick)) {}
  HostileCallback hostile;
  RawPeer peer;
  std::int32_t connection_port = 0;
  std::optional<Clock::duration> released_after;
};

Clock::duration LimitFor(HostileBound bound) {
  const auto read_timeout = std::chrono::milliseconds(subscribers::kCallbackReadTimeoutMs);
  switch (bound) {
    // Quick failures are seen once the service thread has its turn, which
    // a Connect waiting out its time-out can put off.
    case HostileBound::kData: return read_timeout + kSlack;
    case HostileBound::kReadTimeout: return read_timeout + kSlack;
    case HostileBound::kCallDeadline: return xmlrpc::kCallDeadline + kSlack;
  }
  return {};
}

bool HasLineNotice(const std::vector<CallbackServer::Received>& calls, int round) {
  for (const auto& c : calls)
    if (c.params.size() == 3 && c.params[0] == std::to_string(kNotifyLineAdded) &&
        c.params[1] == std::to_string(round))
      return true;
  return false;
}

TEST(HostileCallbacks, AreReleasedInTimeWhileTheServiceThreadAndOtherSubscribersGoOn) {
  CallbackServer good;
  std::vector<std::unique_ptr<HostilePeer>> hostiles;
  for (const auto& h : xmlrpc::testing::HostileCallbacks()) hostiles.push_back(std::make_unique<HostilePeer>(h));
  Host host;
  host.service_.Sync([&] {
    testing::AddLoopbackSubscriber(*host.registry_, "Good ($DebugMode)", kGoodConnectionPort, good.Port());
    for (std::size_t i = 0; i < hostiles.size(); ++i) {
      hostiles[i]->connection_port = kGoodConnectionPort + 1 + static_cast<std::int32_t>(i);
      testing::AddLoopbackSubscriber(*host.registry_, std::string("Hostile ($DebugMode)") + hostiles[i]->hostile.name,
                                     hostiles[i]->connection_port, hostiles[i]->peer.Port());
    }
  });
  // As after each registration: the callback connection, made on the
  // service thread.
  for (const auto& h : hostiles)
    host.port_->Post(WM_CONNECT_CALLBACK, std::make_unique<TClientRecInfo>("127.0.0.1", h->connection_port));

  const auto start = Clock::now();
  Clock::duration slowest_answer{};
  Clock::duration slowest_delivery{};
  int round = 0;
  auto all_released = [&] {
    for (const auto& h : hostiles)
      if (!h->released_after) return false;
    return true;
  };
  while (!all_released() && Clock::now() - start < kGiveUp) {
    ++round;
    // A line notification to every subscriber, the hostile ones included.
    const auto asked = Clock::now();
    host.service_.Sync([&] {
      device::TStateDeviceMessage notice;
      notice.Subject = std::to_string(round);
      notice.Owner = "round";
      host.delivery_->NotifyLine(kNotifyLineAdded, notice);
    });
    slowest_answer = std::max(slowest_answer, Clock::now() - asked);
    while (!HasLineNotice(good.Calls(), round) && Clock::now() - asked < kGiveUp) std::this_thread::sleep_for(5ms);
    slowest_delivery = std::max(slowest_delivery, Clock::now() - asked);

    for (auto& h : hostiles) {
      if (h->released_after) continue;
      if (host.log_.CountStartingWith("Release subscriber on disconnect (127.0.0.1 : " +
                                      std::to_string(h->connection_port) + ")") > 0)
        h->released_after = Clock::now() - start;
    }
    std::this_thread::sleep_for(200ms);
  }

  for (const auto& h : hostiles) {
    SCOPED_TRACE(h->hostile.name);
    ASSERT_TRUE(h->released_after.has_value());
    EXPECT_LT(*h->released_after, LimitFor(h->hostile.bound));
    std::cout << "[ released ] " << h->hostile.name << " after "
              << std::chrono::duration_cast<std::chrono::milliseconds>(*h->released_after).count() << " ms\n";
  }
  std::cout << "[ service  ] slowest answer "
            << std::chrono::duration_cast<std::chrono::milliseconds>(slowest_answer).count()
            << " ms, slowest delivery to the good subscriber "
            << std::chrono::duration_cast<std::chrono::milliseconds>(slowest_delivery).count() << " ms over "
            << round << " rounds\n";
  EXPECT_LT(slowest_answer, kPrompt);
  EXPECT_LT(slowest_delivery, kPrompt);
  bool good_registered = false;
  host.service_.Sync([&] {
    good_registered = host.registry_->FindByConnection("127.0.0.1", kGoodConnectionPort) != nullptr;
  });
  EXPECT_TRUE(good_registered);
}

}  // namespace
}  // namespace kavor2::service
