#include "service/host_window.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace kavor2::service {
namespace {

using namespace std::chrono_literals;

struct CountedRecord : HostRecord {
  explicit CountedRecord(std::atomic<int>& alive) : alive_(alive) { ++alive_; }
  ~CountedRecord() override { --alive_; }
  std::atomic<int>& alive_;
};

TEST(HostWindow, DeliversOnTheLoopThreadInPostingOrder) {
  platform::EventLoop loop;
  std::vector<std::uint32_t> seen;
  bool on_loop_thread = true;
  HostWindow window(loop, [&](HostMessage& m) {
    on_loop_thread = on_loop_thread && loop.OnLoopThread();
    seen.push_back(m.Msg);
  });
  std::thread poster([&] {
    for (std::uint32_t msg = 1037; msg <= 1048; ++msg) ASSERT_TRUE(window.Post(msg));
  });
  poster.join();
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (seen.size() < 12 && std::chrono::steady_clock::now() < deadline) loop.RunFor(100ms);
  std::vector<std::uint32_t> expected;
  for (std::uint32_t msg = 1037; msg <= 1048; ++msg) expected.push_back(msg);
  EXPECT_EQ(seen, expected);
  EXPECT_TRUE(on_loop_thread);
}

TEST(HostWindow, DestroyDropsQueuedMessagesAndFreesTheirRecords) {
  platform::EventLoop loop;
  std::atomic<int> alive{0};
  int dispatched = 0;
  HostWindow window(loop, [&](HostMessage&) { ++dispatched; });
  ASSERT_TRUE(window.Post(1041, std::make_unique<CountedRecord>(alive)));
  EXPECT_EQ(alive.load(), 1);
  window.Destroy();
  EXPECT_FALSE(window.Post(1042, std::make_unique<CountedRecord>(alive)));
  loop.RunFor(50ms);
  EXPECT_EQ(dispatched, 0);
  EXPECT_EQ(alive.load(), 0);
}

TEST(HostWindow, RecordIsFreedAfterDispatchAndPostFailsOnStoppedLoop) {
  platform::EventLoop loop;
  std::atomic<int> alive{0};
  bool had_record = false;
  HostWindow window(loop, [&](HostMessage& m) { had_record = m.Record != nullptr; });
  ASSERT_TRUE(window.Post(1043, std::make_unique<CountedRecord>(alive)));
  loop.RunFor(1s);
  EXPECT_TRUE(had_record);
  EXPECT_EQ(alive.load(), 0);
  loop.Stop();
  EXPECT_FALSE(window.Post(1043, std::make_unique<CountedRecord>(alive)));
  EXPECT_EQ(alive.load(), 0);
}

}  // namespace
}  // namespace kavor2::service
