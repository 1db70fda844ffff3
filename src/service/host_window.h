#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/event_loop.h"

namespace kavor2::service {

// A record carried by a host message (device state, client endpoint, ...).
// Once posted it belongs to the message; the receiver frees it by letting
// the message go.
class HostRecord {
 public:
  virtual ~HostRecord() = default;
};

struct HostMessage {
  std::uint32_t Msg = 0;
  std::unique_ptr<HostRecord> Record;
};

// The host's message window: any thread posts messages, and the dispatcher
// receives them on the service thread (the thread that runs the event loop),
// in posting order. Posting never blocks. After Destroy, messages still
// queued are dropped with their records and new posts go nowhere.
class HostWindow {
 public:
  using Dispatcher = std::function<void(HostMessage&)>;

  HostWindow(platform::EventLoop& loop, Dispatcher dispatcher);
  ~HostWindow();
  HostWindow(const HostWindow&) = delete;
  HostWindow& operator=(const HostWindow&) = delete;

  // Queues a message. Returns false (and frees the record) when the window
  // is destroyed or the loop has stopped.
  bool Post(std::uint32_t msg, std::unique_ptr<HostRecord> record = nullptr);

  // Closes the window; idempotent. Call it on the service thread, so that it
  // cannot overlap a running dispatch.
  void Destroy();

 private:
  struct State {
    std::mutex mutex;
    std::shared_ptr<const Dispatcher> dispatcher;  // null once destroyed
  };

  platform::EventLoop& loop_;
  std::shared_ptr<State> state_;
};

}  // namespace kavor2::service
