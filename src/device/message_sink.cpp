#include "device/message_sink.h"

#include <utility>

namespace kavor2::device {

struct TMessageSink::State {
  std::mutex mutex;
  std::condition_variable idle;
  bool closed = false;
  std::size_t pending = 0;  // records queued on the loop, not yet run or dropped
  int active = 0;           // handlers running now
  std::thread::id active_thread;
  TDataHandler on_data;
  TStateHandler on_state;
};

namespace {

using State = TMessageSink::State;

// Held by a queued task: counts it as pending until the task is destroyed,
// whether it ran or the loop dropped it.
class PendingToken {
 public:
  explicit PendingToken(std::shared_ptr<State> state) : state_(std::move(state)) {}
  ~PendingToken() {
    std::lock_guard lock(state_->mutex);
    --state_->pending;
  }
  PendingToken(const PendingToken&) = delete;
  PendingToken& operator=(const PendingToken&) = delete;

 private:
  std::shared_ptr<State> state_;
};

// Marks a handler as running, so that Close on another thread waits for it.
class ActiveHandler {
 public:
  explicit ActiveHandler(State& state) : state_(state) {}
  ~ActiveHandler() {
    {
      std::lock_guard lock(state_.mutex);
      if (--state_.active == 0) state_.active_thread = {};
    }
    state_.idle.notify_all();
  }
  ActiveHandler(const ActiveHandler&) = delete;
  ActiveHandler& operator=(const ActiveHandler&) = delete;

 private:
  State& state_;
};

// Copies the handler under the lock and counts it as running; false (and
// nothing counted) once the sink is closed.
template <typename Handler>
bool BeginDelivery(State& state, const Handler& current, Handler& copy) {
  std::lock_guard lock(state.mutex);
  if (state.closed) return false;
  copy = current;
  ++state.active;
  state.active_thread = std::this_thread::get_id();
  return true;
}

}  // namespace

TMessageSink::TMessageSink(platform::EventLoop& loop) : loop_(loop), state_(std::make_shared<State>()) {}

TMessageSink::~TMessageSink() { Close(); }

void TMessageSink::SetDataHandler(TDataHandler handler) {
  std::lock_guard lock(state_->mutex);
  state_->on_data = std::move(handler);
}

void TMessageSink::SetStateHandler(TStateHandler handler) {
  std::lock_guard lock(state_->mutex);
  state_->on_state = std::move(handler);
}

void TMessageSink::Enqueue(std::function<void(State&)> deliver) {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->closed || state_->pending >= kMaxPendingRecords) return;
    ++state_->pending;
  }
  auto token = std::make_shared<PendingToken>(state_);
  // A refused post destroys the task, and with it the record and the token.
  loop_.Post([state = state_, token = std::move(token), deliver = std::move(deliver)] { deliver(*state); });
}

void TMessageSink::PostData(std::int32_t kind, TK2MessagePtr message) {
  Enqueue([kind, message = std::move(message)](State& state) {
    TDataHandler handler;
    if (!BeginDelivery(state, state.on_data, handler)) return;
    ActiveHandler running(state);
    if (handler && message) handler(kind, *message);
  });
}

void TMessageSink::PostState(std::uint16_t code, std::unique_ptr<TStateDeviceMessage> record) {
  // Loop tasks must be copyable; the record stays single-owned in practice.
  std::shared_ptr<const TStateDeviceMessage> shared(std::move(record));
  Enqueue([code, record = std::move(shared)](State& state) {
    TStateHandler handler;
    if (!BeginDelivery(state, state.on_state, handler)) return;
    ActiveHandler running(state);
    if (handler) handler(code, record.get());
  });
}

void TMessageSink::Close() {
  std::unique_lock lock(state_->mutex);
  state_->closed = true;
  state_->on_data = nullptr;
  state_->on_state = nullptr;
  // A handler on this very thread is the caller's own frame: waiting for it
  // would never end.
  state_->idle.wait(lock, [this] {
    return state_->active == 0 || state_->active_thread == std::this_thread::get_id();
  });
}

}  // namespace kavor2::device
