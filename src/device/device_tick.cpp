// The device tick: one run of all protocol work of a device, and the
// periodic status word.
#include <utility>

#include "device/device.h"

namespace kavor2::device {
namespace {

constexpr std::int64_t kMillisecondsPerSecond = 1000;

// More than `limit` units of 1/`per_second` s have passed in `elapsed`
// ticks. Since elapsed is whole, elapsed * per_second > limit * frequency
// holds exactly when elapsed exceeds the floor of their quotient, which
// keeps the product of a large counter value out of the computation.
bool MoreThan(std::int64_t elapsed, std::int64_t limit, std::int64_t per_second, std::int64_t frequency) {
  return elapsed > limit * frequency / per_second;
}

}  // namespace

bool TDevice::MoreThanSeconds(std::int64_t since, std::int64_t seconds) const {
  return MoreThan(CounterNow() - since, seconds, 1, Frequency);
}

bool TDevice::MoreThanMilliseconds(std::int64_t since, std::int64_t milliseconds) const {
  return MoreThan(CounterNow() - since, milliseconds, kMillisecondsPerSecond, Frequency);
}

void TDevice::Tick() {
  std::lock_guard engine(EngineLock);
  if (!Enabled) {
    if (TK2MessagePtr received = PopReceived()) RejectDisabled(std::move(received));
    if (WireQueueEmpty()) ScheduleNext();
    return;
  }

  CheckKeyTimers();
  StepKeyExchange();
  // At most one built packet of a device waits for the line.
  if (WireQueueEmpty()) ScheduleNext();
  if (TK2MessagePtr received = PopReceived()) Receive(std::move(received));
  if (!Connected) return;

  if (IsLiveMessage) DecideStatusWord();
  if (!ProfileRequested) {
    QueueProfileRequest();
    ProfileRequested = true;
  }
  MoveClientData();
}

void TDevice::DecideStatusWord() {
  std::lock_guard live(LiveLock);
  const bool due = ProfileChanged || LiveState == 0;
  if (!due) {
    // A status word still waiting in its queue is not repeated.
    if ((LiveState & (lvSent | lvQueued)) != (lvSent | lvQueued)) return;
    if (!MoreThanSeconds(LastLiveTime, LiveMessageTimeOut)) {
      if (AckedServicePNum == StatusPNum) return;
      if (!MoreThanMilliseconds(LastLiveTime, CommandTimeOut)) return;
    }
  }
  LiveState = lvQueued;
  // Unacknowledged: the same status word goes again under its old PNum.
  if (AckedServicePNum != StatusPNum && !ProfileChanged) LiveState |= lvRepeat;
  ProfileChanged = false;
  QueueStatusWord();
}

void TDevice::MoveClientData() {
  if (DataQueue.IsEmpty() || !Enabled || (Header.Profile & kProfileDataAllowed) == 0) return;
  // A full data send queue keeps the data where the client left it.
  const TDoubleEndedQueue& frames = SendQueues[sqData];
  if (frames.Count() >= frames.Capacity()) return;
  TK2MessagePtr message;
  {
    std::lock_guard lock(DataLock);
    message = PopData();
  }
  if (message) Enqueue(std::move(message), sqData);
}

}  // namespace kavor2::device
