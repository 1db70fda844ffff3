#include "device/kavor_session.h"

#include <utility>

namespace kavor2::device {

TKavorSession::TKavorSession(platform::EventLoop& loop, TSessionEnvironment environment)
    : environment_(std::move(environment)),
      sink_(loop),
      lines_(*this, environment_),
      devices_(lines_, this, environment_.Clock) {}

TKavorSession::~TKavorSession() {
  sink_.Close();
  lines_.Clear();
}

void TKavorSession::SetOnDeviceData(TDeviceDataEvent handler) {
  if (!handler) {
    sink_.SetDataHandler(nullptr);
    return;
  }
  // The sink delivers nothing once closed, which the destructor does first,
  // so `this` is alive whenever the handler runs.
  sink_.SetDataHandler([this, handler = std::move(handler)](std::int32_t kind, const TK2Message& record) {
    handler(*this, kind, record);
  });
}

void TKavorSession::SetOnDeviceState(TDeviceStateEvent handler) {
  if (!handler) {
    sink_.SetStateHandler(nullptr);
    return;
  }
  sink_.SetStateHandler([this, handler = std::move(handler)](std::uint16_t code, const TStateDeviceMessage* record) {
    handler(*this, code, record);
  });
}

std::shared_ptr<TDevice> TKavorSession::FindDeviceByIdText(std::string_view text) const {
  return devices_.FindDeviceByIdText(text);
}

std::shared_ptr<TDevice> TKavorSession::FindDeviceOnLine(std::int32_t line_id, const DeviceId& id) const {
  return devices_.FindDeviceOnLine(line_id, id);
}

std::shared_ptr<TDevice> TKavorSession::FindDeviceByAddress(std::string_view host, std::int32_t port) const {
  return devices_.FindDeviceByAddress(host, port);
}

DeviceKey TKavorSession::MasterKeyFor(const DeviceId& id) const { return master_keys_.MasterKeyFor(id); }

void TKavorSession::PostData(std::int32_t kind, TK2MessagePtr message) { sink_.PostData(kind, std::move(message)); }

void TKavorSession::PostState(std::uint16_t code, std::unique_ptr<TStateDeviceMessage> record) {
  sink_.PostState(code, std::move(record));
}

}  // namespace kavor2::device
