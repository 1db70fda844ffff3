#include "service/host_window.h"

namespace kavor2::service {

HostWindow::HostWindow(platform::EventLoop& loop, Dispatcher dispatcher)
    : loop_(loop), state_(std::make_shared<State>()) {
  state_->dispatcher = std::make_shared<const Dispatcher>(std::move(dispatcher));
}

HostWindow::~HostWindow() { Destroy(); }

bool HostWindow::Post(std::uint32_t msg, std::unique_ptr<HostRecord> record) {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (!state_->dispatcher) return false;
  }
  // The loop's tasks must be copyable, so the message travels shared.
  auto message = std::make_shared<HostMessage>(HostMessage{msg, std::move(record)});
  return loop_.Post([state = state_, message] {
    std::shared_ptr<const Dispatcher> dispatcher;
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      dispatcher = state->dispatcher;
    }
    if (dispatcher && *dispatcher) (*dispatcher)(*message);
  });
}

void HostWindow::Destroy() {
  std::shared_ptr<const Dispatcher> dropped;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    dropped.swap(state_->dispatcher);
  }
}

}  // namespace kavor2::service
