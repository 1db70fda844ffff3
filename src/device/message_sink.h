#pragma once
// TMessageSink: the session's record queue. Line threads and devices post
// data records (1035) and state records (1036) from any thread; the service
// thread's event loop delivers them, one at a time and in posting order, to
// the handler set for their kind, and frees them afterwards.
//
// Lifetime. Records travel as loop tasks that share the sink's state, not
// the sink itself, so a task that runs after the sink is gone touches no
// freed memory. Close (called first by the session's destruction) drops
// every record still queued without delivering it, and waits for a handler
// that is running on another thread to return.
//
// Bound. At most kMaxPendingRecords records wait at once; further posts are
// dropped until the service thread catches up. Posting never blocks, so
// without a bound a flooding device or a stalled service thread would grow
// the queue without limit.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "device/k2_message.h"
#include "platform/event_loop.h"

namespace kavor2::device {

// Record codes of the sink, as the host's tools know them.
inline constexpr std::uint32_t kSessionDataRecord = 1035;
inline constexpr std::uint32_t kSessionStateRecord = 1036;

class TMessageSink {
 public:
  // The record is valid for the call only; the sink frees it afterwards.
  using TDataHandler = std::function<void(std::int32_t kind, const TK2Message& record)>;
  // record is null for an empty state record.
  using TStateHandler = std::function<void(std::uint16_t code, const TStateDeviceMessage* record)>;

  static constexpr std::size_t kMaxPendingRecords = 65536;

  // loop must outlive the sink and every poster.
  explicit TMessageSink(platform::EventLoop& loop);
  ~TMessageSink();
  TMessageSink(const TMessageSink&) = delete;
  TMessageSink& operator=(const TMessageSink&) = delete;

  // Set or (empty) clear a handler; records delivered afterwards see the new
  // one. Any thread.
  void SetDataHandler(TDataHandler handler);
  void SetStateHandler(TStateHandler handler);

  // Queue a record. Any thread; never blocks. Delivered only when a data
  // handler is set and the message is not null (a state record is
  // delivered, null or not, when a state handler is set). Dropped once the
  // sink is closed, when the loop has stopped, or while the queue is full.
  void PostData(std::int32_t kind, TK2MessagePtr message);
  void PostState(std::uint16_t code, std::unique_ptr<TStateDeviceMessage> record);

  // Delivers nothing from here on; waits for a handler running on another
  // thread. Idempotent.
  void Close();

  // What queued tasks share with the sink; defined with the sink's code.
  struct State;

 private:
  // Queues `deliver` on the loop unless closed or full.
  void Enqueue(std::function<void(State&)> deliver);

  platform::EventLoop& loop_;
  std::shared_ptr<State> state_;
};

}  // namespace kavor2::device
