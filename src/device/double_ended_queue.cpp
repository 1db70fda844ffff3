#include "device/double_ended_queue.h"

#include <utility>

#include "platform/text.h"

namespace kavor2::device {

EQueueEmpty::EQueueEmpty()
    : std::runtime_error(
          platform::Utf8ToCp1251("Попытка вызвать метод Peek или Pop для пустого списка или очереди.")) {}

TDoubleEndedQueue::TDoubleEndedQueue(std::size_t capacity) : capacity_(capacity) {}

TDoubleEndedQueue::~TDoubleEndedQueue() = default;

bool TDoubleEndedQueue::PushBack(TK2MessagePtr message) {
  if (!message) return false;
  std::lock_guard lock(mutex_);
  if (count_ >= capacity_) return false;
  const std::size_t slot = head_ + count_;
  if (slot / kBlockSize == blocks_.size()) blocks_.push_back(std::make_unique<Block>());
  (*blocks_[slot / kBlockSize])[slot % kBlockSize] = std::move(message);
  ++count_;
  return true;
}

TK2MessagePtr TDoubleEndedQueue::TakeFrontLocked() {
  TK2MessagePtr front = std::move((*blocks_.front())[head_]);
  --count_;
  if (count_ == 0) {
    // Keep one block for the next push; an idle queue holds no more.
    blocks_.resize(1);
    head_ = 0;
    emptied_.notify_all();
  } else if (++head_ == kBlockSize) {
    blocks_.pop_front();
    head_ = 0;
  }
  return front;
}

const TK2MessagePtr& TDoubleEndedQueue::AtLocked(std::size_t index) const {
  const std::size_t slot = head_ + index;
  return (*blocks_[slot / kBlockSize])[slot % kBlockSize];
}

TK2MessagePtr TDoubleEndedQueue::PopFront() {
  std::lock_guard lock(mutex_);
  if (count_ == 0) throw EQueueEmpty();
  return TakeFrontLocked();
}

TK2MessagePtr TDoubleEndedQueue::TryPopFront() {
  std::lock_guard lock(mutex_);
  if (count_ == 0) return nullptr;
  return TakeFrontLocked();
}

TK2MessagePtr TDoubleEndedQueue::PopFrontIf(const TK2Message* expected) {
  std::lock_guard lock(mutex_);
  if (count_ == 0 || expected == nullptr || AtLocked(0).get() != expected) return nullptr;
  return TakeFrontLocked();
}

std::shared_ptr<const TK2Message> TDoubleEndedQueue::PeekFront() const {
  std::lock_guard lock(mutex_);
  if (count_ == 0) throw EQueueEmpty();
  return AtLocked(0);
}

std::shared_ptr<const TK2Message> TDoubleEndedQueue::TryPeekFront() const {
  std::lock_guard lock(mutex_);
  if (count_ == 0) return nullptr;
  return AtLocked(0);
}

std::shared_ptr<const TK2Message> TDoubleEndedQueue::Item(std::size_t index) const {
  std::lock_guard lock(mutex_);
  if (index >= count_) return nullptr;
  return AtLocked(index);
}

void TDoubleEndedQueue::ForEach(const std::function<bool(const TK2Message&)>& visit) const {
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < count_; ++i) {
    if (!visit(*AtLocked(i))) return;
  }
}

std::size_t TDoubleEndedQueue::Count() const {
  std::lock_guard lock(mutex_);
  return count_;
}

bool TDoubleEndedQueue::IsEmpty() const { return Count() == 0; }

void TDoubleEndedQueue::Clear() {
  std::deque<std::unique_ptr<Block>> dropped;
  {
    std::lock_guard lock(mutex_);
    dropped.swap(blocks_);
    head_ = 0;
    count_ = 0;
    emptied_.notify_all();
  }
  // The messages go here, outside the lock.
}

bool TDoubleEndedQueue::WaitUntilEmpty(std::chrono::steady_clock::time_point deadline) const {
  std::unique_lock lock(mutex_);
  return emptied_.wait_until(lock, deadline, [this] { return count_ == 0; });
}

}  // namespace kavor2::device
