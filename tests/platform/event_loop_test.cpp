#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/event_loop.h"

namespace kavor2::platform {
namespace {

using namespace std::chrono_literals;

// Runs the loop on its own thread for the duration of a test.
class LoopThread {
 public:
  LoopThread() : thread_([this] { loop.Run(); }) {
    // Wait until the loop thread has marked itself.
    while (!loop.Call<bool>([] { return true; })) {
    }
  }
  ~LoopThread() {
    loop.Stop();
    thread_.join();
  }
  EventLoop loop;

 private:
  std::thread thread_;
};

TEST(EventLoop, DeliversInPostingOrderOnTheLoopThread) {
  LoopThread lt;
  constexpr int kThreads = 4, kPerThread = 500;
  std::vector<std::vector<int>> seen(kThreads);
  std::atomic<bool> wrong_thread{false};
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        lt.loop.Post([&, t, i] {
          if (!lt.loop.OnLoopThread()) wrong_thread = true;
          seen[t].push_back(i);
        });
      }
    });
  }
  for (auto& p : posters) p.join();
  // A hand-off queued last runs after every task posted before it.
  auto total = lt.loop.Call<std::size_t>([&] {
    std::size_t n = 0;
    for (auto& s : seen) n += s.size();
    return n;
  });
  ASSERT_TRUE(total);
  EXPECT_EQ(*total, std::size_t(kThreads * kPerThread));
  EXPECT_FALSE(wrong_thread);
  for (auto& s : seen) {
    for (int i = 0; i < kPerThread; ++i) ASSERT_EQ(s[i], i);
  }
}

TEST(EventLoop, CallReturnsTheResultAndSurvivesAThrowingTask) {
  LoopThread lt;
  EXPECT_EQ(lt.loop.Call<int>([] { return 7; }), 7);
  EXPECT_FALSE(lt.loop.Call<int>([]() -> int { throw std::runtime_error("x"); }));
  lt.loop.Post([] { throw std::runtime_error("y"); });
  EXPECT_EQ(lt.loop.Call<int>([] { return 8; }), 8);
}

TEST(EventLoop, StopWakesWaitingCallersWithoutAResult) {
  EventLoop loop;  // never run: a queued hand-off can only end by Stop
  std::optional<int> result = 1;
  std::thread caller([&] { result = loop.Call<int>([] { return 5; }); });
  // Give the caller time to queue and wait; the outcome is the same if it
  // comes after Stop, only the path differs.
  std::this_thread::sleep_for(20ms);
  loop.Stop();
  caller.join();
  EXPECT_FALSE(result);
  EXPECT_FALSE(loop.Post([] {}));
  EXPECT_FALSE(loop.Call<int>([] { return 1; }));
}

TEST(EventLoop, CancelledGroupReleasesWaitersAndSkipsTheirTasks) {
  EventLoop loop;
  auto group = std::make_shared<CallGroup>();
  std::atomic<bool> ran{false};
  std::atomic<bool> returned{false};
  std::optional<int> result = 1;
  std::thread caller([&] {
    result = loop.Call<int>([&] {
      ran = true;
      return 3;
    }, group);
    returned = true;
  });
  // Nobody runs the loop, as when the loop thread itself is busy stopping a server.
  auto deadline = std::chrono::steady_clock::now() + 2s;
  while (!returned && std::chrono::steady_clock::now() < deadline) {
    group->Cancel();
    std::this_thread::sleep_for(1ms);
  }
  caller.join();
  EXPECT_FALSE(result);
  loop.RunFor(10ms);  // the queued task is skipped
  EXPECT_FALSE(ran);
  EXPECT_FALSE(loop.Call<int>([] { return 1; }, group));
}

TEST(EventLoop, PauseHoldsDispatchUntilResume) {
  LoopThread lt;
  lt.loop.Pause();
  std::atomic<int> ran{0};
  lt.loop.Post([&] { ++ran; });
  std::this_thread::sleep_for(50ms);  // long enough for a running loop to dispatch
  EXPECT_EQ(ran, 0);
  lt.loop.Resume();
  EXPECT_EQ(lt.loop.Call<int>([&] { return ran.load(); }), 1);
}

}  // namespace
}  // namespace kavor2::platform
