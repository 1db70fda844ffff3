#pragma once
// TDoubleEndedQueue: the first-in-first-out queue of messages between a
// device's threads, stored as a list of fixed blocks of 128 entries.
//
// Every operation takes the queue's own mutex, so no push, pop, peek or
// clear of one queue overlaps another, whichever threads run them. The mutex
// is the innermost lock of the device side: nothing else is locked while it
// is held (ForEach's visitor runs under it and must not touch this queue).
//
// The queue holds the only reference to a message unless a peeker keeps one;
// Clear drops the queue's references, and a message goes when its last
// holder lets it go.
//
// A queue has a capacity: what a peer or a client sends must not grow a
// queue without bound. A push into a full queue is refused and the message
// dropped.
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "device/k2_message.h"

namespace kavor2::device {

// PopFront or PeekFront on an empty queue. The message is the system's own
// Windows-1251 text.
class EQueueEmpty : public std::runtime_error {
 public:
  EQueueEmpty();
};

class TDoubleEndedQueue {
 public:
  static constexpr std::size_t kBlockSize = 128;
  static constexpr std::size_t kDefaultCapacity = 4096;

  explicit TDoubleEndedQueue(std::size_t capacity = kDefaultCapacity);
  TDoubleEndedQueue(const TDoubleEndedQueue&) = delete;
  TDoubleEndedQueue& operator=(const TDoubleEndedQueue&) = delete;
  ~TDoubleEndedQueue();

  // Appends the message. False, dropping it, when the queue is full or the
  // message is null.
  bool PushBack(TK2MessagePtr message);

  // Removes and returns the front message; throws EQueueEmpty when empty.
  TK2MessagePtr PopFront();
  // The same, or null when empty.
  TK2MessagePtr TryPopFront();
  // Removes the front message only when it is `expected` (one that the
  // caller peeked and still holds): a peek-then-pop never takes a message
  // that arrived after a Clear. Null when the front is another message.
  TK2MessagePtr PopFrontIf(const TK2Message* expected);

  // The front message without removing it; throws EQueueEmpty when empty.
  std::shared_ptr<const TK2Message> PeekFront() const;
  // The same, or null when empty.
  std::shared_ptr<const TK2Message> TryPeekFront() const;
  // The i-th message from the front (0 = front), or null past the end.
  std::shared_ptr<const TK2Message> Item(std::size_t index) const;
  // Visits the messages from the front until the visitor returns false.
  void ForEach(const std::function<bool(const TK2Message&)>& visit) const;

  std::size_t Count() const;
  bool IsEmpty() const;
  std::size_t Capacity() const { return capacity_; }

  // Drops every queued message.
  void Clear();

  // Blocks until the queue is empty or the deadline passes; true when empty.
  bool WaitUntilEmpty(std::chrono::steady_clock::time_point deadline) const;

 private:
  using Block = std::array<TK2MessagePtr, kBlockSize>;

  TK2MessagePtr TakeFrontLocked();
  const TK2MessagePtr& AtLocked(std::size_t index) const;

  const std::size_t capacity_;
  mutable std::mutex mutex_;
  mutable std::condition_variable emptied_;
  std::deque<std::unique_ptr<Block>> blocks_;
  std::size_t head_ = 0;  // index of the front entry in blocks_.front()
  std::size_t count_ = 0;
};

}  // namespace kavor2::device
