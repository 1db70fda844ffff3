#include "device/double_ended_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "platform/text.h"

namespace kavor2::device {
namespace {

TK2MessagePtr Numbered(std::uint32_t n) {
  auto message = std::make_shared<TK2Message>();
  message->KeyCounter = n;
  return message;
}

TEST(DoubleEndedQueue, EmptyPopAndPeekRaiseTheFixedText) {
  TDoubleEndedQueue queue;
  const std::string expected =
      platform::Utf8ToCp1251("Попытка вызвать метод Peek или Pop для пустого списка или очереди.");
  try {
    queue.PopFront();
    FAIL() << "PopFront on an empty queue returned";
  } catch (const EQueueEmpty& e) {
    EXPECT_EQ(e.what(), expected);
  }
  EXPECT_THROW(queue.PeekFront(), EQueueEmpty);
  EXPECT_EQ(queue.TryPopFront(), nullptr);
  EXPECT_EQ(queue.TryPeekFront(), nullptr);
  EXPECT_EQ(queue.Item(0), nullptr);

  // Emptied again after use, it raises the same way.
  queue.PushBack(Numbered(1));
  queue.PopFront();
  EXPECT_THROW(queue.PopFront(), EQueueEmpty);
}

TEST(DoubleEndedQueue, KeepsOrderWhileGrowingPastBlocksAndShrinking) {
  TDoubleEndedQueue queue;
  std::uint32_t pushed = 0;
  std::uint32_t popped = 0;
  // Grow past two blocks, shrink across a block boundary, grow again, drain.
  const int phases[][2] = {{300, 0}, {0, 200}, {250, 0}, {0, 120}, {10, 0}, {0, 240}};
  for (const auto& phase : phases) {
    for (int i = 0; i < phase[0]; ++i) ASSERT_TRUE(queue.PushBack(Numbered(pushed++)));
    for (int i = 0; i < phase[1]; ++i) {
      ASSERT_EQ(queue.PeekFront()->KeyCounter, popped);
      ASSERT_EQ(queue.PopFront()->KeyCounter, popped++);
    }
    ASSERT_EQ(queue.Count(), pushed - popped);
    for (std::uint32_t i = 0; i < pushed - popped; ++i) ASSERT_EQ(queue.Item(i)->KeyCounter, popped + i);
  }
  EXPECT_TRUE(queue.IsEmpty());

  std::vector<std::uint32_t> seen;
  for (std::uint32_t n = 0; n < 5; ++n) queue.PushBack(Numbered(n));
  queue.ForEach([&](const TK2Message& m) {
    seen.push_back(m.KeyCounter);
    return m.KeyCounter < 2;
  });
  EXPECT_EQ(seen, (std::vector<std::uint32_t>{0, 1, 2}));
}

TEST(DoubleEndedQueue, ClearFreesQueuedMessagesButNotOnesStillPeeked) {
  TDoubleEndedQueue queue;
  std::vector<std::weak_ptr<TK2Message>> watched;
  for (std::uint32_t n = 0; n < 200; ++n) {
    auto message = Numbered(n);
    watched.push_back(message);
    queue.PushBack(std::move(message));
  }
  const std::shared_ptr<const TK2Message> peeked = queue.PeekFront();
  queue.Clear();
  EXPECT_TRUE(queue.IsEmpty());
  EXPECT_EQ(peeked->KeyCounter, 0u);
  for (std::size_t i = 1; i < watched.size(); ++i) EXPECT_TRUE(watched[i].expired()) << i;

  // The peeked message is not the front of the refilled queue any more.
  queue.PushBack(Numbered(7));
  EXPECT_EQ(queue.PopFrontIf(peeked.get()), nullptr);
  const auto front = queue.PeekFront();
  EXPECT_EQ(queue.PopFrontIf(front.get())->KeyCounter, 7u);
}

TEST(DoubleEndedQueue, RefusesPushesPastItsCapacity) {
  TDoubleEndedQueue queue(3);
  for (std::uint32_t n = 0; n < 3; ++n) EXPECT_TRUE(queue.PushBack(Numbered(n)));
  EXPECT_FALSE(queue.PushBack(Numbered(3)));
  EXPECT_FALSE(queue.PushBack(nullptr));
  queue.PopFront();
  EXPECT_TRUE(queue.PushBack(Numbered(4)));
  EXPECT_EQ(queue.Item(2)->KeyCounter, 4u);
}

// Producers and consumers at once: every message arrives exactly once, and
// each consumer sees every producer's messages in the order pushed.
TEST(DoubleEndedQueue, ConcurrentProducersAndConsumers) {
  constexpr std::uint32_t kProducers = 3;
  constexpr std::uint32_t kPerProducer = 3000;
  constexpr std::uint32_t kConsumers = 2;
  TDoubleEndedQueue queue(kProducers * kPerProducer);
  std::atomic<std::uint32_t> taken{0};
  std::vector<std::vector<std::uint32_t>> got(kConsumers);

  std::vector<std::thread> threads;
  for (std::uint32_t p = 0; p < kProducers; ++p) {
    threads.emplace_back([&queue, p] {
      for (std::uint32_t i = 0; i < kPerProducer; ++i) queue.PushBack(Numbered(p * kPerProducer + i));
    });
  }
  for (std::uint32_t c = 0; c < kConsumers; ++c) {
    threads.emplace_back([&, c] {
      while (taken.load() < kProducers * kPerProducer) {
        // A peeker alongside the poppers.
        if (auto peeked = queue.TryPeekFront()) (void)peeked->KeyCounter;
        if (TK2MessagePtr m = queue.TryPopFront()) {
          got[c].push_back(m->KeyCounter);
          ++taken;
        }
      }
    });
  }
  for (auto& t : threads) t.join();

  std::vector<int> arrivals(kProducers * kPerProducer, 0);
  for (const auto& consumer : got) {
    std::vector<std::int64_t> last(kProducers, -1);
    for (std::uint32_t n : consumer) {
      ++arrivals[n];
      const std::uint32_t producer = n / kPerProducer;
      EXPECT_GT(static_cast<std::int64_t>(n), last[producer]);
      last[producer] = n;
    }
  }
  for (std::size_t n = 0; n < arrivals.size(); ++n) ASSERT_EQ(arrivals[n], 1) << n;
  EXPECT_TRUE(queue.IsEmpty());
}

TEST(DoubleEndedQueue, WaitUntilEmptyWakesWhenAnotherThreadDrains) {
  TDoubleEndedQueue queue;
  for (std::uint32_t n = 0; n < 50; ++n) queue.PushBack(Numbered(n));
  std::thread drainer([&] {
    while (queue.TryPopFront()) {
    }
  });
  EXPECT_TRUE(queue.WaitUntilEmpty(std::chrono::steady_clock::now() + std::chrono::seconds(10)));
  drainer.join();

  queue.PushBack(Numbered(1));
  EXPECT_FALSE(queue.WaitUntilEmpty(std::chrono::steady_clock::now() + std::chrono::milliseconds(20)));
}

}  // namespace
}  // namespace kavor2::device
