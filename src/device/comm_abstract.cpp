#include "device/comm_abstract.h"

#include <limits>
#include <utility>

namespace kavor2::device {

void TCommunicationsAbstract::SetOnReceive(TReceiveEvent handler) {
  std::lock_guard lock(receive_mutex_);
  on_receive_ = std::move(handler);
}

bool TCommunicationsAbstract::HasOnReceive() const {
  std::lock_guard lock(receive_mutex_);
  return static_cast<bool>(on_receive_);
}

void TCommunicationsAbstract::QueryAddress(std::uint8_t /*short_address*/, DeviceId& id) { id = NoId; }

bool TCommunicationsAbstract::Connect(ICommDevice* /*device*/) { return false; }

void TCommunicationsAbstract::SetData(std::span<const std::uint8_t> stream) { out_buffer_.Write(stream); }

bool TCommunicationsAbstract::CheckReceived(bool& data_flag) {
  data_flag = true;
  in_buffer_.Rewind();
  return true;
}

void TCommunicationsAbstract::TakeDeviceHost(ICommDevice* /*device*/) {}

void TCommunicationsAbstract::TakeDevicePort(ICommDevice* /*device*/) {}

bool TCommunicationsAbstract::Poll(ICommDevice* /*device*/) { return true; }

bool TCommunicationsAbstract::DeliverReceived(std::span<const std::uint8_t> frame) {
  std::lock_guard lock(receive_mutex_);
  if (!on_receive_) return false;
  in_buffer_.Assign(frame);
  // A copy, so a handler that replaces itself does not destroy what runs.
  const TReceiveEvent handler = on_receive_;
  try {
    handler();
  } catch (...) {
    // One bad frame must not stop the line's reception.
  }
  return true;
}

void TCommunicationsAbstract::SetLastSentSize(std::size_t size) {
  constexpr std::size_t kMax = std::numeric_limits<std::uint16_t>::max();
  last_sent_size_.store(static_cast<std::uint16_t>(size < kMax ? size : kMax));
}

}  // namespace kavor2::device
